#!/usr/bin/env bash
# Builds the C++ tests (and the fuzz targets' replays) under AddressSanitizer
# and UndefinedBehaviorSanitizer in build-sanitize/ (or SANITIZE_BUILD_DIR)
# and runs them with ctest; any report fails the run. Extra arguments go to
# ctest (for example -R Depparse). SANITIZE_TESTS names the test directories
# of tests/cpp to build and run (for example "wordform coref"); unset, every
# one of them and the fuzz targets' replays.
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
selection=()
if [ -n "${SANITIZE_TESTS:-}" ]; then
  labels=""
  for name in $SANITIZE_TESTS; do
    if [ ! -d "$root/tests/cpp/$name" ] || [ "$name" = common ]; then
      echo "sanitize.sh: no test directory tests/cpp/$name" >&2
      exit 2
    fi
    targets+=("velmora_${name}_tests")
    labels="${labels:+$labels|}$name"
  done
  # Each test carries the name of its directory as its label.
  selection=(-L "^($labels)\$")
else
  for dir in "$root"/tests/cpp/*/; do
    name="$(basename "$dir")"
    [ "$name" = common ] || targets+=("velmora_${name}_tests")
  done
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    name="$(basename "$source" .cpp)"
    targets+=("velmora_${name}_replay")
  done
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# The leak checker scans every thread's stack and thread-local storage, so
# what the tensor and kernel libraries keep per thread (primitive caches, the
# C++ runtime's thread-exit records) is reachable on any kind of CPU. It does
# not follow __tls_get_addr: for a dynamic TLS block that starts 16 bytes
# into a page, gcc 12's runtime reads the 16 bytes before it as an old
# glibc's block header, finds its own allocator's chunk header there and
# hands the leak checker a range it crashes on (the AOTInductor package's
# 40-byte block lands there now and then). Those blocks are scanned all the
# same: they are heap blocks that the thread's DTV, itself reachable from the
# thread control block, points to. No leak report is suppressed: one naming
# the OpenMP runtime would also hide whatever a unit run on the team leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export OMP_NUM_THREADS=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" "${selection[@]}" "$@"
