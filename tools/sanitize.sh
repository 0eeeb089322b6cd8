#!/usr/bin/env bash
# Builds the C++ tests (and the fuzz targets' replays) under AddressSanitizer
# and UndefinedBehaviorSanitizer in build-sanitize/ (or SANITIZE_BUILD_DIR)
# and runs them with ctest; any report fails the run. Extra arguments go to
# ctest (for example -R Depparse).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${SANITIZE_BUILD_DIR:-$root/build-sanitize}"
jobs="${JOBS:-$(nproc)}"

eval "$(bash "$root/tools/setup.sh")"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=1

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
# The test executables only: the Python module cannot be loaded into an
# interpreter that was not started with the sanitizer runtime.
targets=()
for dir in "$root"/tests/cpp/*/; do
  name="$(basename "$dir")"
  [ "$name" = common ] || targets+=("velmora_${name}_tests")
done
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
  name="$(basename "$source" .cpp)"
  targets+=("velmora_${name}_replay")
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
# The leak checker of gcc 12 crashes while scanning the dynamic thread-local
# storage of a dlopen'd transformer package under this glibc, so it leaves
# thread-local storage out; see tools/sanitize.supp for what that hides.
export LSAN_OPTIONS="${LSAN_OPTIONS:-use_tls=0:suppressions=$root/tools/sanitize.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export OMP_NUM_THREADS=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
