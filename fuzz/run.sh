#!/usr/bin/env bash
# Builds one fuzz target and runs it: fuzz/run.sh TARGET SECONDS [extra libFuzzer flags]
# TARGET is json, arch, weights or model. The corpus grows in build/fuzz/corpus/TARGET
# (seeded by make_corpus.py on first use); crashes land in build/fuzz/artifacts/TARGET.
set -euo pipefail

target=${1:?usage: fuzz/run.sh json|arch|weights|model SECONDS [libFuzzer flags]}
seconds=${2:?usage: fuzz/run.sh TARGET SECONDS}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz

case $target in
  json | arch | model) dict=$root/fuzz/arch.dict ;;
  weights) dict=$root/fuzz/weights.dict ;;
  *) echo "unknown target '$target'" >&2; exit 2 ;;
esac

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMI_FUZZ=ON \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++}" -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
cmake --build "$build" --target "fuzz_$target"

corpus=$build/corpus/$target
if [ ! -d "$corpus" ]; then
  PYTHONPATH=$root python "$root/fuzz/make_corpus.py" "$build/corpus"
fi
mkdir -p "$build/artifacts/$target"

# Allocations up to the engine's 4 GiB tensor limit are legitimate. One fuzzing process:
# the kernels' OpenMP threads are pinned to one as well.
export OMP_NUM_THREADS=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$build/fuzz_$target" "$corpus" -dict="$dict" -max_total_time="$seconds" \
  -timeout=10 -rss_limit_mb=6144 -malloc_limit_mb=4200 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/$target/" "$@"
