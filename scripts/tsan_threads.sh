#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer in build/tsan and runs the thread-safety test
# under it: scripts/tsan_threads.sh [pytest args]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/tsan
cxx=${CXX:-g++}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread" \
  -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${MI_BUILD_JOBS:-2}"

tsan=$("$cxx" -print-file-name=libtsan.so)
cxxrt=$(realpath "$("$cxx" -print-file-name=libstdc++.so)")
cd "$root"
LD_PRELOAD="$tsan $cxxrt" TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
OMP_NUM_THREADS=1 PYTHONPATH=$build:$root \
  python -m pytest -q -s -p no:cacheprovider "${@:-tests/test_threads.py}"
