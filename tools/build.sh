#!/usr/bin/env bash
# Set up the machine (idempotent), configure and build. The build directory is
# ./build unless BUILD_DIR names another one. Prints VELMORA_BUILD=...,
# VELMORA_PY=... and VELMORA_TORCH_PY=..., quoted for the shell's eval.
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
build="${BUILD_DIR:-$root/build}"

eval "$(bash "$root/tools/setup.sh")"
export CCACHE_DIR CCACHE_DISABLE
export PATH # bash's own default under `env -i`, which the fixtures' compiler needs
export CCACHE_BASEDIR="$root"   # clean clones in other folders share cache hits
export CCACHE_NOHASHDIR=1

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DVELMORA_TORCH_PYTHON="$VELMORA_TORCH_PY" -DVELMORA_PYTHON="$VELMORA_PY" \
    -DVELMORA_CACHE_DIR="$VELMORA_CACHE" >&2
fi
cmake --build "$build" "$@"
printf 'VELMORA_BUILD=%q\n' "$build"
printf 'VELMORA_PY=%q\n' "$VELMORA_PY"
printf 'VELMORA_TORCH_PY=%q\n' "$VELMORA_TORCH_PY"
