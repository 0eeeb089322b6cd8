#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz as libFuzzer executables and runs
# them, as usage says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/fuzz.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "fuzz.sh: run it with bash: bash tools/fuzz.sh [SECONDS] [TARGET ...]" >&2; exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"

usage() {
  cat <<'EOF'
usage: bash tools/fuzz.sh [SECONDS] [TARGET ...]

Builds the fuzz targets of tests/fuzz (json utf8 bundle tokenizer
document_dict package: the default, all of them) as libFuzzer executables
under Debian's clang 14 with AddressSanitizer and UndefinedBehaviorSanitizer,
then runs each TARGET in turn for SECONDS seconds (a whole number from 1,
default 60). Seeds: the committed corpus, inputs made from the generated
fixtures and, when present, from ../shared/data. What a run learns stays in
corpus/TARGET of the build folder; an input that fails is written to
findings/TARGET/ there (save it under tests/fuzz/crashes/TARGET/ once
mended, so that the test command replays it). Every target given runs; the
status is 0 when none stopped with a finding, else 1, with a last line
naming those that did.

Variables it honours:
  FUZZ_BUILD_DIR  the build folder (default: build-fuzz/ in the checkout)
  JOBS            the build's parallel jobs (default: 3)
  and set-up's (bash tools/setup.sh --help)
EOF
}
# The arguments are checked before anything is set up or built.
words_and_help fuzz.sh "--help, SECONDS and TARGETs" "$@"
seconds=60
((${#words[@]} == 0)) || seconds="${words[0]}"
targets=("${words[@]:1}")
if ((${#targets[@]} == 0)); then
  targets=(json utf8 bundle tokenizer document_dict package)
fi
if [[ ! "$seconds" =~ ^[0123456789]+$ ]] || ((10#$seconds == 0)); then
  echo "fuzz.sh: SECONDS is a whole number of seconds from 1, not $(quote "$seconds")" >&2
  exit 2
fi
for target in "${targets[@]}"; do
  if [[ ! "$target" =~ ^[a-z0-9_]+$ ]] || [ ! -f "$root/tests/fuzz/fuzz_$target.cpp" ]; then
    echo "fuzz.sh: no fuzz target $(quote "$target") (tests/fuzz/fuzz_TARGET.cpp)" >&2
    exit 2
  fi
done
if ((help)); then
  usage
  exit 0
fi
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
shared="$root/../shared/data"

setup="$(bash "$root/tools/setup.sh")" || exit # nothing goes on without what set-up found
eval "$setup"
# clang itself, its sanitizer and libFuzzer runtimes, and its OpenMP headers
# and runtime (the one source built with -fopenmp includes ATen's Parallel.h,
# which includes <omp.h>; clang finds none of gcc's).
bash "$root/tools/debian_packages.sh" fuzz clang-14 libclang-rt-14-dev libomp-14-dev
export CCACHE_DIR CCACHE_DISABLE
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR=1

flags="-fsanitize=address,undefined -fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined"
flags="$flags -fno-omit-frame-pointer -gline-tables-only"
# clang compiles an OpenMP region into calls of its own runtime's entry
# points, which torch's libgomp does not have; that runtime is linked after
# torch's, so every other OpenMP call still reaches torch's.
link_flags="-fsanitize=address,undefined -fopenmp"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$link_flags" -DVELMORA_FUZZ=ON \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
# The build has a temporary folder of its own, as tools/build.sh's has: what
# the compilers write there (the fixture generator's, should it run here,
# and the C++ compiler's assembly) goes when this script ends, even after
# one of them was killed.
scratch="$(mktemp -d -t velmora-fuzz-XXXXXX)"
trap 'remove_tree fuzz.sh "$scratch"' EXIT
export TMPDIR="$scratch"
cmake --build "$build" -j "${JOBS:-3}" --target "${targets[@]/#/velmora_fuzz_}"

fixtures="$build/fixtures"
seed_from() { # seed_from TARGET PREFIX FILE...: one seed per file, PREFIX bytes first
  local target="$1" prefix="$2"
  shift 2
  local file
  for file in "$@"; do
    [ -f "$file" ] || continue
    # shellcheck disable=SC2059 # the prefix is written in printf's escapes
    { printf "$prefix"; head -c 65536 "$file"; } > "$build/seeds/$target/$(printf '%s' "$file" | sha1sum | cut -c1-16)"
  done
}
text_seeds() { # text_seeds TARGET FILE COUNT: the "# text = " lines of a treebank
  local target="$1" file="$2" count="$3" n=0 line
  [ -f "$file" ] || return 0
  while IFS= read -r line && ((n < count)); do
    printf '%s' "${line#\# text = }" > "$build/seeds/$target/text$n"
    n=$((n + 1))
  done < <(grep '^# text = ' "$file")
}

ewt="$shared/ud-en-ewt/en_ewt-ud-dev.conllu"
stopped=()
for target in "${targets[@]}"; do
  options=()
  rm -rf "$build/seeds/$target"
  mkdir -p "$build/seeds/$target" "$build/corpus/$target" "$build/findings/$target"
  case "$target" in
    json)
      mapfile -t files < <(find -L "$fixtures" -name '*.json' -size -64k 2>/dev/null | sort | head -300)
      seed_from json "" "${files[@]}"
      mapfile -t files < <(find "$shared/json-test-suite" -name '*.json' 2>/dev/null | sort)
      seed_from json "" "${files[@]}"
      ;;
    utf8)
      mapfile -t files < <(find "$shared/json-test-suite" -name '*.json' 2>/dev/null | sort)
      seed_from utf8 "" "${files[@]}"
      text_seeds utf8 "$ewt" 100
      ;;
    bundle)
      for bundle in "$fixtures"/bundle/cases/* "$fixtures"/tokenizer/cases/valid; do
        seed_from bundle '\000' "$bundle/manifest.json"
        seed_from bundle '\001' "$bundle/assets.json"
      done
      ;;
    tokenizer)
      text_seeds tokenizer "$ewt" 300
      ;;
    package)
      # Whole packages: a fixture's is under 2 MB, more than libFuzzer's
      # default limit of 1 MiB.
      options=(-max_len=4194304)
      mapfile -t files < <(find -L "$fixtures" -name '*.pt2' -size -4M 2>/dev/null | sort | head -20)
      for file in "${files[@]}"; do
        cp "$file" "$build/seeds/package/$(printf '%s' "$file" | sha1sum | cut -c1-16)"
      done
      ;;
  esac
  echo "[fuzz] $target for ${seconds}s" >&2
  (
    cd "$build/findings/$target"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
      OMP_NUM_THREADS=1 "$build/tests/fuzz/velmora_fuzz_$target" -max_total_time="$seconds" \
      -rss_limit_mb=4096 -timeout=60 -print_final_stats=1 -artifact_prefix="$build/findings/$target/" \
      "${options[@]}" \
      "$build/corpus/$target" "$root/tests/fuzz/corpus/$target" "$build/seeds/$target" \
      2> "$build/findings/$target/log.txt"
  ) || {
    echo "[fuzz] $target stopped with a finding: see $build/findings/$target/" >&2
    stopped+=("$target")
  }
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$build/findings/$target/log.txt" |
    sed "s/^/[fuzz] $target /" >&2 || true
done
if ((${#stopped[@]})); then
  echo "[fuzz] targets that stopped with a finding: ${stopped[*]}" >&2
  exit 1
fi
