#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in build/asan
# and runs the pytest suite against it: scripts/sanitize_tests.sh [pytest args]
# The Python interpreter is not instrumented, so the ASan runtime is preloaded; leak
# checking is off because the interpreter keeps objects alive until exit; failed huge
# allocations return null so the engine reports them instead of the sanitizer aborting.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/asan
cxx=${CXX:-g++}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMI_SANITIZE=ON \
  -DCMAKE_CXX_COMPILER="$cxx" -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" -j "${MI_BUILD_JOBS:-2}"

if [[ $("$cxx" --version) == *clang* ]]; then
  asan=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
else
  asan=$("$cxx" -print-file-name=libasan.so)
fi
[ -f "$asan" ] || { echo "ASan runtime not found: $asan" >&2; exit 1; }
# The C++ runtime is preloaded too: ASan's exception interceptor needs it at startup.
cxxrt=$(realpath "$("$cxx" -print-file-name=libstdc++.so)")

cd "$root"
LD_PRELOAD="$asan $cxxrt" \
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH=$build:$root \
  python -m pytest -q -p no:cacheprovider "${@:-tests}"
