#!/usr/bin/env bash
# Set up the machine (idempotent), configure and build, as usage says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/build.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "build.sh: run it with bash: bash tools/build.sh" >&2; exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"

usage() {
  cat <<'EOF'
usage: bash tools/build.sh [--target TARGET ...]

Sets up the machine (tools/setup.sh, which installs only what is missing),
configures the build folder with CMake and Ninja if it is not configured yet,
and builds everything, or only the CMake targets named after --target (for
example --target _velmora velmora_bench_tokenizer). Prints VELMORA_PY=...
and VELMORA_TORCH_PY=... once set-up has settled them, then VELMORA_BUILD=...
(the build folder, as an absolute path) once built, each quoted for the
shell's eval. A failed set-up ends it at once with set-up's own status and
lines (on standard error), and nothing printed.

Variables it honours:
  BUILD_DIR  the build folder (default: build/ in the checkout); a relative
             one is taken from the working folder
  and set-up's (bash tools/setup.sh --help)
EOF
}
# The arguments are checked before anything is set up or built.
targets=()
help=0 taking=0 wanting=0 # after --target; before its first target
for arg in "$@"; do
  if ((wanting)) && [[ "$arg" == -* ]]; then
    echo "build.sh: argument --target: expected at least one target" >&2
    exit 2
  fi
  case "$arg" in
    -h | --help) help=1 taking=0 ;;
    --target) taking=1 wanting=1 ;;
    -*)
      echo "build.sh: unrecognized argument: $(quote "$arg") (it takes --target and --help)" >&2
      exit 2
      ;;
    *)
      if ((!taking)); then
        echo "build.sh: unrecognized argument: $(quote "$arg") (targets follow --target)" >&2
        exit 2
      elif [[ ! "$arg" =~ ^[A-Za-z0-9_.+][A-Za-z0-9_.+-]*$ ]]; then
        echo "build.sh: argument --target: not a target name: $(quote "$arg")" >&2
        exit 2
      fi
      targets+=("$arg")
      wanting=0
      ;;
  esac
done
if ((wanting)); then
  echo "build.sh: argument --target: expected at least one target" >&2
  exit 2
elif ((help)); then
  usage
  exit 0
fi
build="${BUILD_DIR:-$root/build}"
# Absolute once and for all: what is printed is used from other folders.
[[ "$build" == /* ]] || build="$PWD/$build"

setup="$(bash "$root/tools/setup.sh")" || exit # nothing goes on without what set-up found
eval "$setup"
# Printed before the build: a caller whose build failed without them knows
# that set-up failed, and that set-up's own lines have said why.
printf 'VELMORA_PY=%q\n' "$VELMORA_PY"
printf 'VELMORA_TORCH_PY=%q\n' "$VELMORA_TORCH_PY"
export CCACHE_DIR CCACHE_DISABLE
export PATH # bash's own default under `env -i`, which the fixtures' compiler needs
export CCACHE_BASEDIR="$root"   # clean clones in other folders share cache hits
export CCACHE_NOHASHDIR=1
# The build has a temporary folder of its own, which goes when this script
# ends: what the compilers write there (the fixture generator's, in a folder
# of its own there that it removes itself, and the C++ compiler's assembly)
# goes with it, even after one of them was killed.
#
# The EXIT trap ignores the stop signals first, and so does all it runs: a
# second Ctrl-C, or a caller that stops every process of the build as
# main.sh does, cannot cut the removal short. On a stop bash runs the trap
# without waiting for the build: the compilers, which ninja runs in process
# groups of their own that a Ctrl-C at the terminal does not reach, may
# still be writing in the folder. They are known by the folder in their
# environment (this script's own is the one it started with), sent SIGTERM
# (which the fixture generator answers by removing what it made), given 5 s
# to end and then killed (bash's report of the build it killed goes to
# /dev/null), and the folder goes once they have.
# shellcheck disable=SC2317 # run by the EXIT trap
leave() {
  trap '' INT TERM HUP QUIT
  local -A sent=()
  local round paths path pid pids
  for round in {1..120}; do
    mapfile -t paths < <(TMPDIR="" grep -lzF -- "TMPDIR=$scratch" /proc/[0-9]*/environ)
    ((${#paths[@]})) || break
    pids=()
    for path in "${paths[@]}"; do
      path="${path#/proc/}"
      pids+=("${path%/environ}")
    done
    for pid in "${pids[@]}"; do
      if ((round > 100)); then
        kill -KILL "$pid" || true
      elif [ -z "${sent[$pid]-}" ]; then
        kill -TERM "$pid" || true
        sent[$pid]=1
      fi
    done
    sleep 0.05
  done 2>/dev/null
  remove_tree build.sh "$scratch"
}
# Named before it is made, so that the trap removes it whenever a stop comes
# (mktemp's name could come too late): this run's process and a random number.
printf -v scratch '%s/velmora-build-%s.%08x' "${TMPDIR:-/tmp}" $$ "$SRANDOM"
trap leave EXIT
mkdir -m 700 -- "$scratch"
export TMPDIR="$scratch"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
cmake --build "$build" ${targets[@]+--target "${targets[@]}"}
printf 'VELMORA_BUILD=%q\n' "$build"
