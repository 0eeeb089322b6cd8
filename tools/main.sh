#!/usr/bin/env bash
# Set up, build, and run the main job: annotate a text with an English
# pipeline (by default "tokenize,mwt,pos,lemma,depparse") and print CoNLL-U,
# what CoNLL-U cannot carry, and the words per second.
#
#   bash tools/main.sh [--processors LIST] [--json] [--threads N] [TEXT ...]
#   echo TEXT | bash tools/main.sh [--processors LIST]
#
# LIST names processors in the order they run, any valid list of langid,
# tokenize, mwt, pos, lemma, depparse, ner, sentiment, constituency, coref and
# morphseg, or "all" for every one (tokenize, langid, mwt, pos, lemma,
# depparse, ner, sentiment, constituency, coref, morphseg). The arguments and
# the list are checked before any bundle is built. Without TEXT the text comes
# from standard input (an empty pipe is an empty text), or is a sample
# paragraph when standard input is a terminal; either must be UTF-8. The model
# directory (bundles of real size with random weights) is built into
# ~/.cache/velmora/models/ (models/ under $VELMORA_MODEL_CACHE, else
# $VELMORA_CACHE, when set), each processor's bundle the first time a list asks for it, and reused; damage
# found there is repaired by rebuilding.
#
# Exit status: 0 done; 1 a failed call (text that is not UTF-8, a model
# directory that cannot be loaded or repaired, a failed or killed build); 2 a
# bad argument; 130 interrupted (Ctrl-C); 141 standard output closed early by
# its reader (`| head`). Each error is one line on standard error.
#
# Each step runs in the background and is waited for. Without job control a
# background command ignores SIGINT, so a Ctrl-C, which the terminal sends to
# every process of the command, reaches only this script: its trap stops the
# whole step at once (SIGTERM, which the model builder answers by removing
# the work folder of the bundle it was building), says so in one line and
# ends the command.
set -euo pipefail

interrupted() {
  trap '' INT
  stop_steps
  local bundle=""
  [ -z "${tmp:-}" ] || bundle="$(cat "$tmp/building" 2>/dev/null || true)"
  if [ -n "$bundle" ]; then
    say "interrupted while building the $bundle bundle; the bundles finished are kept and the" \
      "next run builds the rest"
  else
    say "interrupted"
  fi
  exit 130
}
trap interrupted INT

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

say() { echo "main.sh: $*" >&2 || true; }

# Sets `found` to the processes under this script, parents before children.
descendants() {
  local stat line rest pid ppid kid
  local -A kids=()
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue # gone meanwhile
    rest="${line##*) }"                             # after the name, which may hold anything
    ppid="${rest#* }"
    pid="${stat#/proc/}"
    kids[${ppid%% *}]+=" ${pid%/stat}"
  done
  found=()
  local queue=("$$")
  while ((${#queue[@]})); do
    pid="${queue[0]}"
    queue=("${queue[@]:1}")
    for kid in ${kids[$pid]-}; do
      found+=("$kid")
      queue+=("$kid")
    done
  done
}

# Ends the running step and everything it started: stopped first, so that
# none of them starts another process meanwhile, then sent SIGTERM, and given
# a few tenths of a second to go (the model builder may take longer to reach
# a point where it can remove its work folder; it says nothing more).
stop_steps() {
  local -A seen=()
  local all=() new pid round
  for round in 1 2 3 4 5; do
    descendants
    new=()
    for pid in "${found[@]}"; do
      [ -n "${seen[$pid]-}" ] || new+=("$pid")
      seen[$pid]=1
    done
    ((${#new[@]})) || break
    kill -STOP "${new[@]}" 2>/dev/null || true
    all+=("${new[@]}")
  done
  ((${#all[@]})) || return 0
  kill -TERM "${all[@]}" 2>/dev/null || true
  kill -CONT "${all[@]}" 2>/dev/null || true
  for round in {1..15}; do
    for pid in "${all[@]}"; do
      if running "$pid"; then
        sleep 0.02
        continue 2
      fi
    done
    return 0
  done
}

# Whether process $1 is still running (a zombie has ended).
running() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" && [[ "${line##*) }" != Z* ]]
}

# Waits for the step just started in the background and returns its status.
# A step that a signal killed ends the command with one line and status 1
# (141 is left alone: the annotator exits so when its reader goes).
finish() {
  local status=0
  wait $! 2>/dev/null || status=$? # quiet: bash would report a killed job itself
  ((status <= 128 || status == 141)) || killed "$1" "SIG$(kill -l "$status")"
  return "$status"
}

killed() {
  local what="$1" signal="$2" bundle need
  if [ "$what" = "the model build" ]; then
    bundle="$(cat "$tmp/building" 2>/dev/null || true)"
    [ -z "$bundle" ] || what="the build of the $bundle bundle"
    # The peaks measured while building each bundle.
    case "$bundle" in
      coref) need="about 6 GB" ;;
      "") need="up to 6 GB (for the coref bundle; about 1.5 GB for the others)" ;;
      *) need="about 1.5 GB" ;;
    esac
    if [ "$signal" = SIGKILL ]; then
      say "$what was killed by SIGKILL, most likely by the kernel for want of memory: it" \
        "needs $need of free memory; the next run builds it again"
    else
      say "$what was killed by $signal; the next run builds it again"
    fi
  elif [ "$signal" = SIGKILL ]; then
    say "$what was killed by SIGKILL, most likely by the kernel for want of memory"
  else
    say "$what was killed by $signal"
  fi
  exit 1
}

usage() {
  cat <<'EOF'
usage: bash tools/main.sh [--processors LIST] [--json] [--threads N] [TEXT ...]

Sets up and builds everything, builds the model bundles LIST needs (once), and
annotates TEXT (the arguments joined by spaces; without them standard input,
or a sample paragraph when standard input is a terminal). Prints CoNLL-U, then
what CoNLL-U cannot carry, and the words per second on standard error.

options:
  --processors LIST  the processors in the order they run, from langid,
                     tokenize, mwt, pos, lemma, depparse, ner, sentiment,
                     constituency, coref and morphseg, or "all" for every one
                     (default: tokenize,mwt,pos,lemma,depparse)
  --json             print the document's dictionary form as JSON instead of
                     CoNLL-U
  --threads N        tensor threads (default: OMP_NUM_THREADS when set, else
                     half the CPUs the command may run on, at most 4)
  -h, --help         show this help and exit

Models are built under ~/.cache/velmora/models/ (models/ under
$VELMORA_MODEL_CACHE, else $VELMORA_CACHE, when set). Exit status: 0 done,
1 a failed call or build, 2 a bad argument, 130 interrupted, 141 standard
output closed early.
EOF
}

for arg in "$@"; do
  case "$arg" in
    -h | --h | --he | --hel | --help)
      usage
      exit 0
      ;;
    --) break ;;
  esac
done

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

bash "$root/tools/build.sh" >"$tmp/build" &
if ! finish "the build"; then
  cat "$tmp/build" >&2
  say "the build failed"
  exit 1
fi
eval "$(grep '^VELMORA_' "$tmp/build")"

# Bad arguments fail here, before any bundle is built.
PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" --check "$@" \
  >"$tmp/list" &
finish "the argument check" || exit $?
processors="$(cat "$tmp/list")"

"$VELMORA_TORCH_PY" "$root/tools/models/build_models.py" --processors "$processors" \
  --progress "$tmp/building" >"$tmp/models" &
finish "the model build" || exit 1 # the builder said why
: >"$tmp/building"
models="$(cat "$tmp/models")"

PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" \
  --model-dir "$models" "$@" <&0 &
finish "the annotation" || exit $?
