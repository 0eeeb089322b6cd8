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
# depparse, ner, sentiment, constituency, coref, morphseg). The list is
# checked before any bundle is built. Without TEXT the text comes from
# standard input, or is a sample paragraph when there is none. The model
# directory (bundles of real size with random weights) is built into
# ~/.cache/velmora/models/, each processor's bundle the first time a list asks
# for it, and reused.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
processors="tokenize,mwt,pos,lemma,depparse"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    --processors) processors="${args[i + 1]:-}" ;;
    --processors=*) processors="${args[i]#--processors=}" ;;
    --) break ;;
  esac
done
eval "$(bash "$root/tools/build.sh" | grep '^VELMORA_')"
annotate() { PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" "$@"; }
# A bad list fails here, before any bundle is built.
processors="$(annotate --check --processors "$processors")"
models="$("$VELMORA_TORCH_PY" "$root/tools/models/build_models.py" --processors "$processors")"
annotate --model-dir "$models" "$@"
