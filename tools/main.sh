#!/usr/bin/env bash
# Set up, build, and run the main job: annotate a text with the default
# English pipeline ("tokenize,mwt,pos,lemma,depparse") and print CoNLL-U and
# the words per second.
#
#   bash tools/main.sh [TEXT ...]        # or: echo TEXT | bash tools/main.sh
#
# Without arguments the text comes from standard input, or is a sample
# paragraph when there is none. The model directory (bundles of real size with
# random weights) is built once into ~/.cache/velmora/models/ and reused.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
eval "$(bash "$root/tools/build.sh" | grep '^VELMORA_')"
models="$("$VELMORA_TORCH_PY" "$root/tools/models/build_models.py")"
PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" \
  --model-dir "$models" "$@"
