#!/usr/bin/env bash
# Builds the C++ tests and the Python module under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them, as usage says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/sanitize.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "sanitize.sh: run it with bash: bash tools/sanitize.sh" >&2; exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"

usage() {
  cat <<'EOF'
usage: bash tools/sanitize.sh [-R REGEX] [-E REGEX]

Builds the C++ tests (and the fuzz targets' replays) and the Python module
under AddressSanitizer and UndefinedBehaviorSanitizer, runs the C++ tests
with ctest, then the Python tests of documents, views, bindings and threads
with pytest against that module; any report fails the run. -R and -E go to
ctest: they run only the C++ tests whose names match REGEX, or leave out
those that do (for example -R Depparse).

Variables it honours:
  SANITIZE_TESTS      the test directories of tests/cpp to build and run
                      (for example "wordform coref"); unset or empty, every
                      one of them and the fuzz targets' replays
  SANITIZE_PYTHON     0 leaves the Python tests out, only runs them alone
                      (default 1: both)
  SANITIZE_BUILD_DIR  the build folder (default: build-sanitize/ in the
                      checkout)
  JOBS                the build's and ctest's parallel jobs (default: one
                      per core)
  and set-up's (bash tools/setup.sh --help)
EOF
}
# The arguments and the variables are checked before anything is set up or
# built.
selection=() # what ctest is given to choose the C++ tests
help=0
while (($#)); do
  case "$1" in
    -h | --help) help=1 ;;
    -R | -E)
      if (($# < 2)); then
        echo "sanitize.sh: argument $1: expected a REGEX" >&2
        exit 2
      fi
      selection+=("$1" "$2")
      shift
      ;;
    *)
      echo "sanitize.sh: unrecognized argument: $(quote "$1") (it takes -R REGEX, -E REGEX" \
        "and --help)" >&2
      exit 2
      ;;
  esac
  shift
done
build="${SANITIZE_BUILD_DIR:-$root/build-sanitize}"
python_part="${SANITIZE_PYTHON:-1}"
case "$python_part" in
  0 | 1) ;;
  only)
    if ((${#selection[@]})); then
      echo "sanitize.sh: ${selection[0]} chooses C++ tests, which SANITIZE_PYTHON=only leaves" \
        "out" >&2
      exit 2
    fi
    ;;
  *)
    echo "sanitize.sh: SANITIZE_PYTHON is 0, 1 or only, not $(quote "$python_part")" >&2
    exit 2
    ;;
esac

# The Python tests run under the sanitizers: the document model and its
# views, the bindings of the module, its processors and pipelines, documents
# shared between threads, the threads of a call, and calls met by a Ctrl-C
# at import, an exit or a fork. A file named here that
# the tree does not hold is left out.
python_tests=(test_document.py test_sequences.py test_dict_format.py test_module.py
              test_processors.py test_pipeline.py test_shared_documents.py test_threads.py
              test_process_life.py)

# The C++ test directories: those of tests/cpp but common, the tests' shared code.
directories=()
for dir in "$root"/tests/cpp/*/; do
  name="${dir%/}"
  name="${name##*/}"
  [ "$name" = common ] || directories+=("$name")
done
targets=()
if [ -n "${SANITIZE_TESTS:-}" ]; then
  # Words apart, each the name of one of those directories (no pattern, no path).
  read -r -d '' -a names <<<"$SANITIZE_TESTS" || true
  if ((${#names[@]} == 0)); then
    echo "sanitize.sh: SANITIZE_TESTS names no test directory: $(quote "$SANITIZE_TESTS")" >&2
    exit 2
  fi
  labels=""
  for name in "${names[@]}"; do
    if [[ " ${directories[*]} " != *" $name "* ]]; then
      echo "sanitize.sh: SANITIZE_TESTS: no test directory $(quote "$name") in tests/cpp" >&2
      exit 2
    fi
    targets+=("velmora_${name}_tests")
    labels="${labels:+$labels|}$name"
  done
  # Each test carries the name of its directory as its label.
  selection+=(-L "^($labels)\$")
else
  targets=("${directories[@]/#/velmora_}")
  targets=("${targets[@]/%/_tests}")
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    name="${source##*/}"
    targets+=("velmora_${name%.cpp}_replay")
  done
fi
if ((help)); then
  usage
  exit 0
fi

setup="$(bash "$root/tools/setup.sh")" || exit # nothing goes on without what set-up found
eval "$setup"
jobs="${JOBS:-$(nproc)}"
export CCACHE_DIR CCACHE_DISABLE
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=1

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# A tree configured before the module was built here lacks the module's flags.
if [ ! -f "$build/build.ninja" ] ||
  ! grep -q '^CMAKE_MODULE_LINKER_FLAGS:.*-fsanitize' "$build/CMakeCache.txt"; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
if [ "$python_part" = only ]; then
  targets=()
  selection=()
fi
python_files=()
if [ "$python_part" != 0 ]; then
  for name in "${python_tests[@]}"; do
    if [ -f "$root/tests/python/$name" ]; then
      python_files+=("tests/python/$name")
    else
      echo "sanitize.sh: tests/python/$name is not in the tree; left out" >&2
    fi
  done
  # The threading tests preload the region counter next to the module.
  targets+=(_velmora velmora_fixtures velmora_region_counter)
fi
# The build has a temporary folder of its own, as tools/build.sh's has: what
# the compilers write there (the fixture generator's, should it run here,
# and the C++ compiler's assembly) goes when this script ends, even after
# one of them was killed.
scratch="$(mktemp -d -t velmora-sanitize-XXXXXX)"
trap 'remove_tree sanitize.sh "$scratch"' EXIT
export TMPDIR="$scratch"
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
if [ "$python_part" != only ]; then
  ctest --test-dir "$build" --output-on-failure -j "$jobs" "${selection[@]}"
fi
[ "$python_part" != 0 ] || exit 0

# The interpreter is not built with the sanitizers, so their runtimes are
# preloaded: the address sanitizer's must come before every other library.
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")"
preload=""
for runtime in libasan.so libubsan.so; do
  path="$("$compiler" -print-file-name="$runtime")"
  if [ ! -f "$path" ]; then
    echo "sanitize.sh: $compiler has no $runtime" >&2
    exit 2
  fi
  preload="${preload:+$preload:}$path"
done
reports="$(mktemp -d)" # in the temporary folder of the run
# Every process of the run, the tests' children included, writes the address
# sanitizer's reports to files of its own, so a report fails the run even
# where a test takes a child's failure in its stride. Beside the address
# sanitizer's runtime, the undefined behaviour sanitizer's writes to standard
# error whatever its options say; its reports end their process all the
# same, so a test's child ended by one fails its test. Leaks are
# not looked for: the interpreter keeps much of what it allocates until the
# process ends, and the C++ tests check the library's own for leaks. A malloc
# the address space cannot hold returns null, as glibc's does, for the tests
# of MemoryError. The interpreter's objects come from malloc, so that a stale
# reference to one is caught too.
status=0
(
  cd "$root"
  export LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$reports/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
  export VELMORA_FIXTURE_DIR="$build/fixtures"
  exec "$VELMORA_PY" -m pytest -q -rs "${python_files[@]}"
) || status=$?
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "sanitize.sh: report of process ${report##*.}:" >&2
  cat "$report" >&2
  [ "$status" -ne 0 ] || status=1
done
exit "$status"
