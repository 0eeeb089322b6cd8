#!/usr/bin/env bash
# Set up the machine (idempotent), configure and build. The build directory is
# ./build unless BUILD_DIR names another one. Prints VELMORA_PY=... and
# VELMORA_TORCH_PY=... once set-up has settled them, then VELMORA_BUILD=...
# once built, quoted for the shell's eval. A failed set-up ends it at once,
# with set-up's own status and lines (on standard error) and nothing printed.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/build.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "build.sh: run it with bash: bash tools/build.sh" >&2; exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
build="${BUILD_DIR:-$root/build}"

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
scratch="$(mktemp -d -t velmora-build-XXXXXX)"
trap 'rm -rf -- "$scratch"' EXIT
export TMPDIR="$scratch"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
cmake --build "$build" "$@"
printf 'VELMORA_BUILD=%q\n' "$build"
