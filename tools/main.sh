#!/usr/bin/env bash
# Set up, build, and run the main job.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
eval "$(bash "$root/tools/build.sh" | grep '^VELMORA_')"
PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" -c \
  'import _velmora; print("_velmora", _velmora.__version__)'
