#!/usr/bin/env bash
# Set up, build, and run the main job: annotate a text with an English
# pipeline (by default "tokenize,mwt,pos,lemma,depparse") and print CoNLL-U,
# what CoNLL-U cannot carry, and the words per second.
#
#   bash tools/main.sh [--processors LIST] [--json] [TEXT ...]
#   echo TEXT | bash tools/main.sh [--processors LIST]
#
# LIST names processors in the order they run, any valid list of langid,
# tokenize, mwt, pos, lemma, depparse, ner, sentiment, constituency, coref and
# morphseg, or "all" for every one (tokenize, langid, mwt, pos, lemma,
# depparse, ner, sentiment, constituency, coref, morphseg). The arguments and
# the list are checked before any bundle is built. Without TEXT the text comes
# from standard input, or is a sample paragraph when there is none; either must
# be UTF-8. The model directory (bundles of real size with random weights) is
# built into ~/.cache/velmora/models/, each processor's bundle the first time a
# list asks for it, and reused; damage found there is repaired by rebuilding.
#
# Exit status: 0 done; 1 a failed call (text that is not UTF-8, a model
# directory that cannot be loaded or repaired, a failed build); 2 a bad
# argument; 130 interrupted (Ctrl-C); 141 standard output closed early by its
# reader (`| head`). Each error is one line on standard error.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if ! built="$(bash "$root/tools/build.sh")"; then
  printf '%s\n' "$built" >&2
  echo "main.sh: the build failed" >&2
  exit 1
fi
eval "$(grep '^VELMORA_' <<<"$built")"
annotate() { PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" "$@"; }
for arg in "$@"; do
  case "$arg" in
    -h | --h*) annotate --help; exit ;;
    --) break ;;
  esac
done
# Bad arguments fail here, before any bundle is built.
processors="$(annotate --check "$@")"
models="$("$VELMORA_TORCH_PY" "$root/tools/models/build_models.py" --processors "$processors")"
annotate --model-dir "$models" "$@"
