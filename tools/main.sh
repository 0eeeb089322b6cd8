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
# depparse, ner, sentiment, constituency, coref, morphseg). Without TEXT the
# text comes from standard input (an empty pipe or a closed one is an empty
# text), or is a sample paragraph when standard input is a terminal; either
# must be UTF-8.
# Options are taken only as spelled here, anywhere before a "--"; the
# arguments and the list are checked before anything is set up or built.
# The model directory (bundles of real size with random weights) is built
# into ~/.cache/velmora/models/ (models/ under $VELMORA_MODEL_CACHE, else
# $VELMORA_CACHE, when set), each processor's bundle the first time a list
# asks for it, and reused; damage found there is repaired by rebuilding.
#
# Exit status: 0 done; 1 a failed call (text that is not UTF-8, standard input
# that cannot be read, standard output that is closed or cannot be written,
# neither VELMORA_CACHE nor HOME set, a cache or temporary folder that cannot
# be written, a failed set-up, a model directory that cannot be
# written, loaded or repaired, a failed or killed build); 2 a bad argument
# (any option but those above, a --threads that is not a whole number from 1
# to 256); 129 hung up (SIGHUP); 130 interrupted (Ctrl-C); 131 quit (Ctrl-\,
# SIGQUIT); 141 standard output closed early by its reader (`| head`); 143
# terminated (SIGTERM). Each error is one line on standard error; SIGHUP ends
# it without one, the terminal that would show it being gone. A line on
# standard error that cannot be written changes nothing.
#
# Every command this script starts runs in the background and is waited for
# with `wait`, which a trapped signal interrupts at once; nothing runs in the
# foreground, not even in a command substitution, but once it is ending:
# every end, a normal one, an error's or a stop's, goes through `end`, which
# ignores the stop signals before anything else (ended and killed ignore
# them first too), and the removal of the temporary folder that follows
# runs with them ignored, so that no stop can cut it short. (Bash waiting for a
# foreground command when SIGINT comes waits for it to end, and if it then
# exits normally takes it that the command handled the Ctrl-C itself: the
# trap never runs, and the command goes on.) Every step ignores SIGINT and
# SIGQUIT, as a background command does without job control (advisory_stderr
# makes it so for the steps it runs), so a Ctrl-C or a Ctrl-\, which the
# terminal sends to every process of the command, reaches only this script;
# SIGTERM (kill, a supervisor) may reach it alone, and SIGHUP alone or with the
# whole group (a closed terminal). The trap stops everything the command
# started at once (SIGTERM, which the model builder answers, as it does
# SIGHUP, by removing the work folder of the bundle it was building; SIGKILL
# for what is still running after that, see stop_steps), says so in one line
# (but for SIGHUP) and ends the command. What it started is known by
# VELMORA_MAIN_RUN in its environment, which every process inherits, so that
# none escapes the stop by outliving its parent.
#
# A stop counts until the command knows how it ends: its annotation's output
# written, or an error to say. From then on a stop changes nothing: the
# command ends with the status it was ending with, says the line it had to
# say and nothing more, and leaves nothing behind. A step that ends the
# command (the annotation; the argument check, the model builder or the
# annotator failing) does not say its last line itself: it hands this script
# that line and its status in one file, whole or not at all, and this script
# says it, whether the step then exits by itself or the stop ends it (see
# `concluded`). The one exception is a failed set-up, whose own lines
# come from set-up as it fails: a stop as it ends after them is a stop still,
# its line after theirs.

# Written for bash, read from its own file. Under another shell (`sh
# tools/main.sh`, dash on Debian) it would stop at the first line of bash's
# own, and read by bash from a pipe (`cat tools/main.sh | bash`, `bash <(cat
# tools/main.sh)`) it has no checkout to find the rest of tools/ in: this part
# is plain POSIX, and hands the script's own file (through any links) to bash
# in the same process, or says how to run it.
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/main.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "main.sh: run it with bash: bash tools/main.sh [OPTION ...] [TEXT ...]" >&2; exit 1
fi

set -euo pipefail

say() { echo "main.sh: $*" >&2 || true; }

# Ends the command with status $1: every way out goes through here. The
# stop signals are ignored first: the status and the lines are settled, and
# a stop that comes now changes neither, nor cuts short the removal of the
# temporary folder, which the exit leaves to `leave`.
end() {
  trap '' INT TERM HUP QUIT
  exit "$1"
}

# The EXIT trap: removes the temporary folder, once, with the stop signals
# ignored (an exit that `set -e` made did not come through end). Before
# tools/arguments.sh is read the folder holds a file at most.
# shellcheck disable=SC2317 # run by the EXIT trap
leave() {
  trap '' INT TERM HUP QUIT
  local folder="${tmp:-}"
  tmp=""
  if [ -z "$folder" ]; then
    return 0
  elif declare -F remove_tree >/dev/null; then
    remove_tree main.sh "$folder"
  else
    rm -rf -- "$folder" 2>/dev/null || true
  fi
}

# Sets `found` to the processes this run started, however deep and whatever
# became of their parents (one whose parent died is re-parented outside this
# script's tree): those that carry this run's VELMORA_MAIN_RUN. The subshells
# bash forks carry only the environment this script was started with; each
# waits for what it runs and ends with it. Called only with the signals
# ignored, the search itself runs in the foreground.
marked() {
  local path
  found=()
  # shellcheck disable=SC2097,SC2098 # grep's own mark is blanked, lest it find itself
  while IFS= read -r path; do
    path="${path#/proc/}"
    found+=("${path%/environ}")
  done < <(VELMORA_MAIN_RUN="" grep -lzxF -- "VELMORA_MAIN_RUN=$VELMORA_MAIN_RUN" \
    /proc/[0-9]*/environ 2>/dev/null)
}

# Ends everything the command started: stopped first, so that none of them
# starts another process meanwhile, then sent SIGTERM, and given a few tenths
# of a second to go. The model builder then removes its work folder and ends,
# saying nothing more, unless it is inside a tensor call: Python runs its
# handler only when that returns, seconds later on a busy machine. What is
# left then is killed. Either way the work folders that the builder names in
# its progress file go. The script's own children are killed only if still
# there a second later: each ends by SIGTERM, and bash would report one
# killed, on the line the command keeps for its own.
stop_steps() {
  local -A seen=()
  local all=() new pid line
  for _ in 1 2 3 4 5; do
    marked
    new=()
    for pid in "${found[@]}"; do
      [ -n "${seen[$pid]-}" ] || new+=("$pid")
      seen[$pid]=1
    done
    ((${#new[@]})) || break
    kill -STOP "${new[@]}" 2>/dev/null || true
    all+=("${new[@]}")
  done
  if ((${#all[@]})); then
    kill -TERM "${all[@]}" 2>/dev/null || true
    kill -CONT "${all[@]}" 2>/dev/null || true
    for _ in {1..15}; do
      left "${all[@]}"
      ((${#found[@]})) || break
      sleep 0.02
    done
  fi
  if ((${#found[@]})); then
    new=()
    for pid in "${found[@]}"; do
      read -r line 2>/dev/null <"/proc/$pid/stat" || continue
      line="${line##*) }"
      line="${line#* }"
      [ "${line%% *}" = $$ ] || new+=("$pid")
    done
    ((${#new[@]} == 0)) || kill -KILL "${new[@]}" 2>/dev/null || true
    for _ in {1..50}; do # one in a write to disk ends when the write does
      left "${found[@]}"
      ((${#found[@]})) || break
      sleep 0.02
    done
    ((${#found[@]} == 0)) || kill -KILL "${found[@]}" 2>/dev/null || true
  fi
  remove_work_folders
}

# Removes the work folders that the model builder names in its progress file,
# each before making it (one that ended by itself has removed them and says
# so), once it is gone. Compilers that a killed builder had started may go on
# for a while: they are ended first, known by the temporary folder in a work
# folder that they were given, lest one still writing there keeps the folder
# from going.
remove_work_folders() {
  local progress=() folder pids
  [ -z "${tmp:-}" ] || mapfile -t progress 2>/dev/null <"$tmp/building" || true
  for folder in "${progress[@]:1}"; do
    pids="$(grep -lzF -- "TMPDIR=$folder/" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3)" ||
      true
    # shellcheck disable=SC2086 # process numbers, one a line
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    for _ in {1..50}; do
      rm -rf -- "$folder" 2>/dev/null || true
      [ ! -e "$folder" ] && break
      sleep 0.02
    done
  done
}

# Sets `found` to the processes of "$@" still running.
left() {
  local pid
  found=()
  for pid in "$@"; do
    ! running "$pid" || found+=("$pid")
  done
}

# The bundle the model builder is on (none before it starts or after it ends):
# the first line of its progress file.
building() {
  local line=""
  [ -z "${tmp:-}" ] || read -r line 2>/dev/null <"$tmp/building" || true
  echo "$line"
}

# Whether process $1 is still running (a zombie has ended).
running() {
  local line
  read -r line 2>/dev/null <"/proc/$1/stat" && [[ "${line##*) }" != Z* ]]
}

# Ends the command as a step has said it ends it, if one has; returns
# otherwise. The step hands over its status and its last line in the file
# VELMORA_MAIN_STATUS names, both whole or neither (tools/main_step.py): that
# file is the one place the status is taken from, here or in the trap, and
# the line is said once, with the stop signals ignored.
concluded() {
  local told="" status
  [ -z "${tmp:-}" ] || [ ! -e "$tmp/status" ] || read_file told "$tmp/status"
  status="${told%%$'\n'*}"
  [[ "$status" =~ ^[0-9]{1,3}$ ]] || return 0
  trap '' INT TERM HUP QUIT
  [[ "$told" != *$'\n'* ]] || printf '%s\n' "${told#*$'\n'}" >&2 || true
  end "$status"
}

# Ends the command on a signal with status $1, saying $2 unless it is empty.
# Later signals are ignored: nothing may cut the stop short. A step that has
# said how it ends the command, before the stop or as stop_steps ended it,
# has ended it: the stop changes nothing (see `concluded`).
# shellcheck disable=SC2317 # run by the traps
ended() {
  trap '' INT TERM HUP QUIT
  local bundle
  stop_steps
  concluded
  bundle="$(building)"
  if [ -n "$2" ] && [ -n "$bundle" ]; then
    say "$2 while building the $bundle bundle; the bundles finished are kept and the" \
      "next run builds the rest"
  elif [ -n "$2" ]; then
    say "$2"
  fi
  end "$1"
}
trap 'ended 130 interrupted' INT
trap 'ended 143 terminated' TERM
trap 'ended 129 ""' HUP
trap 'ended 131 quit' QUIT
# A line for a reader that has gone fails rather than ending this script by
# SIGPIPE, before its status and its clean-up; the steps start with SIGPIPE's
# default action, as a trap is not inherited.
trap : PIPE
# Nothing before the traps starts a process: a step in flight is always one
# they stop. The mark is this script's process and the time it got here,
# which no other run shares.
export VELMORA_MAIN_RUN="$$-$EPOCHREALTIME"

# A closed standard input is an empty text, and a closed standard error takes
# nothing: /dev/null stands in for either, so that the first file a step
# opens does not get its number. (Run as `bash main.sh 2>&-`, bash has opened
# this script there, read-only: every write to it fails, and is dropped.)
[ -e /dev/fd/0 ] || exec </dev/null
[ -e /dev/fd/2 ] || exec 2>/dev/null
# Without PATH in its environment (`env -i`) bash searches a default of its
# own, which it does not hand on: the compiler that the builds run by its
# bare name would then not find its own parts.
export PATH
# A closed standard output is refused before any work: the annotator would
# find it only once all was done.
if [ ! -e /dev/fd/1 ]; then
  say "standard output is closed"
  end 1
fi

# Runs "$@" with its standard error passed on by a copy that drops what cannot
# be written (a reader that has gone, a full disk), so that a progress line
# never stops a build. The status is the command's (pipefail: the copy ends
# with 0); bash's own report of a command that a signal killed goes to
# /dev/null, as finish() would have it.
#
# Run in the background, it is the step's own shell, and outlives SIGHUP and
# SIGTERM sent to the whole group (a closed terminal, `timeout`, `kill --
# -PGID`), so that the step is over only when "$@" is: it waits for "$@",
# which the signal reached too, and ends once stop_steps has ended that. The
# command it runs takes those signals as by default (a trapped signal is
# reset on exec), and ignores SIGINT and SIGQUIT as the other steps do,
# which bash starts in the background: a pipeline's commands would take them
# as by default, and an interpreter that took a Ctrl-C as it starts would
# print a traceback.
advisory_stderr() {
  trap '' INT QUIT
  trap : HUP TERM
  {
    "$@" 2>&1 >&3 3>&- 4>&- | { cat >&4 2>/dev/null || cat >/dev/null; } 3>&-
  } 3>&1 4>&2 2>/dev/null
}

# Waits for the step just started in the background and returns its status,
# unless it has said how it ends the command (see `concluded`). A step that a
# signal killed ends the command with one line and status 1 (141 is left
# alone: the annotator exits so when its reader goes).
finish() {
  local status=0 signal
  wait $! 2>/dev/null || status=$? # quiet: bash would report a killed job itself
  concluded
  if ((status > 128 && status != 141)); then
    kill -l "$status" >"$tmp/signal"
    read -r signal <"$tmp/signal"
    killed "$1" "SIG$signal"
  fi
  return "$status"
}

# Ends the command after a step that signal $2 killed, with one line and
# status 1, once what that step had started is stopped too. A signal from
# here on changes nothing: the command is ending.
killed() {
  local what="$1" signal="$2" bundle need
  trap '' INT TERM HUP QUIT
  stop_steps
  if [ "$what" = "the model build" ]; then
    bundle="$(building)"
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
  end 1
}

usage() {
  local text
  IFS= read -r -d '' text <<'EOF' || true
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
  --threads N        tensor threads, 1 to 256 (default: OMP_NUM_THREADS when
                     set, else half the CPUs the command may run on, at
                     most 4)
  -h, --help         show this help and exit

Models are built under ~/.cache/velmora/models/ (models/ under
$VELMORA_MODEL_CACHE, else $VELMORA_CACHE, when set). Exit status: 0 done,
1 a failed call or build, 2 a bad argument, 129 hung up, 130 interrupted,
131 quit, 141 standard output closed early, 143 terminated.
EOF
  # Written by a process of its own: a reader that has gone ends it by
  # SIGPIPE, quietly (only this script traps it), and the command with its
  # status, 141.
  printf '%s' "$text" &
  wait $! || end "$?"
}

for arg in "$@"; do
  case "$arg" in
    -h | --help)
      usage
      end 0
      ;;
    --) break ;;
  esac
done

# A bad argument: one line, and status 2.
bad() {
  say "$*"
  end 2
}

# A bad argument, the line ending in the value $2, quoted so that it stays
# one line of readable text whatever the value holds (tools/arguments.sh).
bad_value() {
  local quoted
  quote "$2" quoted
  bad "$1$quoted"
}

# The processors, in the order that "all" runs them, and what each needs of
# those before it: the registry's table, which the module checks a list
# against again once it is built.
ALL=(tokenize langid mwt pos lemma depparse ner sentiment constituency coref morphseg)
declare -A NEEDS=([langid]="" [tokenize]="" [mwt]=tokenize [pos]=tokenize [lemma]=tokenize
  [depparse]="tokenize pos lemma" [ner]=tokenize [sentiment]=tokenize
  [constituency]="tokenize pos" [coref]=tokenize [morphseg]=tokenize)

# Sets `processors` to the list LIST names, "all" spelled out, read as a
# pipeline reads it (split at commas, the blanks around each name dropped,
# empty names skipped) and checked as it checks one: no name twice, known
# names, each one's needs met by those before it. The list is split and its
# names trimmed in one pass each, by IFS and anchored matches: a pattern
# removed from the front or the back of a long value is tried at every place
# in it, which took minutes for a name with a hundred thousand blanks
# around it.
check_list() {
  local -
  local LC_ALL=C IFS=, blank=$' \t\n\v\f\r' pieces piece names=() name need missing
  local -A seen=() provided=()
  set -f
  # shellcheck disable=SC2206 # split at the commas, nothing else expanded
  pieces=($1)
  IFS=$' \t\n'
  for piece in "${pieces[@]}"; do
    [[ "$piece" =~ ^.*[^$blank] ]] || continue # blanks alone: no name
    piece="${BASH_REMATCH[0]}"
    [[ "$piece" =~ ^[$blank]* ]]
    names+=("${piece:${#BASH_REMATCH[0]}}")
  done
  ((${#names[@]})) || bad_value "argument --processors: names no processor: " "$1"
  [ "${names[*]}" != all ] || names=("${ALL[@]}")
  for name in "${names[@]}"; do
    [ -z "${seen[$name]-}" ] ||
      bad_value "argument --processors: a processor may only appear once in a pipeline: " \
        "$name"
    seen[$name]=1
  done
  for name in "${names[@]}"; do
    [ -n "${NEEDS[$name]+known}" ] || bad_value "argument --processors: unknown processor: " \
      "$name"
  done
  for name in "${names[@]}"; do
    missing=""
    for need in ${NEEDS[$name]}; do
      [ -n "${provided[$need]-}" ] || missing+="${missing:+, }$need"
    done
    [ -z "$missing" ] ||
      bad "argument --processors: processor '$name' is missing requirements: $missing"
    provided[$name]=1
  done
  IFS=,
  processors="${names[*]}"
}

# Sets `threads` to the whole number N names, from 1 to 256, in ASCII digits.
check_threads() {
  local digits="${1#"${1%%[!0]*}"}" # without leading zeros
  if [[ ! "$1" =~ ^-?[0123456789]+$ ]]; then
    bad_value "argument --threads: invalid int value: " "$1"
  elif [[ "$1" == -* || -z "$digits" ]]; then
    bad_value "argument --threads: not a positive integer: " "$1"
  elif ((${#digits} > 3)) || ((10#$digits > 256)); then
    bad_value "argument --threads: more than 256 threads: " "$1"
  fi
  threads="$((10#$digits))"
}

# Sets `processors`, `threads` (empty without --threads), `annotate` (the
# annotator's options, spelled out) and `texts` from the arguments. An
# argument that starts with "-" is an option, but for "-" alone and a
# negative number, which are text, as they are after "--".
read_arguments() {
  local list="tokenize,mwt,pos,lemma,depparse" json="" arg options=1
  local number='^-([0123456789]+|[0123456789]*\.[0123456789]+)$'
  threads="" texts=()
  while (($#)); do
    arg="$1"
    shift
    if ((options == 0)) || [[ "$arg" != -?* || "$arg" =~ $number ]]; then
      texts+=("$arg")
      continue
    fi
    case "$arg" in
      --) options=0 ;;
      --json) json=1 ;;
      --processors | --threads)
        if (($# == 0)) || [[ "$1" == -?* && ! "$1" =~ $number ]]; then
          bad "argument $arg: expected one argument"
        fi
        if [ "$arg" = --threads ]; then
          check_threads "$1"
        else
          list="$1"
        fi
        shift
        ;;
      --processors=*) list="${arg#*=}" ;;
      --threads=*) check_threads "${arg#*=}" ;;
      *) bad_value "unrecognized argument: " "$arg" ;;
    esac
  done
  check_list "$list"
  annotate=(--processors "$processors" ${json:+--json} ${threads:+--threads "$threads"})
}

# Sets the variable named $1 to what the file $2 holds, less the newlines it
# ends with, as a command substitution would, but with no process to wait for.
read_file() {
  local -n into="$1"
  IFS= read -r -d '' into <"$2" || true
  while [[ "$into" == *$'\n' ]]; do
    into="${into%$'\n'}"
  done
}

# What `mktemp -d` does, but for printing the name, which would have to be
# read from a command substitution: a folder only this user may enter, named
# for this run (its process and a random number; one of a killed run of the
# same number is this script's own leftover).
trap leave EXIT
printf -v tmp '%s/main.sh.%s.%08x' "${TMPDIR:-/tmp}" $$ "$SRANDOM"
mkdir -m 700 -- "$tmp" 2>/dev/null &
if ! wait $!; then
  tmp=""
  say "cannot make a folder in the temporary folder ${TMPDIR:-/tmp}: set TMPDIR to a folder you" \
    "can write"
  end 1
fi
readlink -f -- "${BASH_SOURCE[0]}" >"$tmp/root" & # this file, through any chain of links
wait $!
read_file root "$tmp/root"
root="${root%/*}"
root="${root%/*}" # the checkout that holds it

# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"
read_arguments "$@"

# Everything the command keeps goes under VELMORA_CACHE, by default in HOME.
if [ -z "${VELMORA_CACHE:-}" ] && [ -z "${HOME:-}" ]; then
  say "neither VELMORA_CACHE nor HOME is set: set VELMORA_CACHE to the folder to keep" \
    "the environments and models in"
  end 1
fi

# The build makes its temporary folder in this script's: what a stop leaves
# of it (stop_steps kills the build as it removes it) goes with that.
TMPDIR="$tmp" advisory_stderr bash "$root/tools/build.sh" >"$tmp/build" &
built=0
finish "the build" || built=$?
# The build prints the settings it found, quoted for the shell, and on a
# failure its own lines.
settings=() said=() interpreter=""
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    VELMORA_PY=*)
      interpreter=1
      settings+=("$line")
      ;;
    VELMORA_*) settings+=("$line") ;;
    *) said+=("$line") ;;
  esac
done <"$tmp/build"
if ((built)); then
  # A failed set-up prints no interpreter, and its own lines have said why.
  [ -n "$interpreter" ] || end 1
  ((${#said[@]} == 0)) || printf '%s\n' "${said[@]}" >&2 || true
  say "the build failed"
  end 1
fi
for line in "${settings[@]}"; do
  eval "$line"
done

# Where a step from here on hands this script the status it ends the command
# with, and its last line (see `concluded`).
export VELMORA_MAIN_STATUS="$tmp/status"

# The text arguments must be UTF-8, and the list is checked by the module
# itself: both are refused here, before any bundle is built.
PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" --main-check \
  "${annotate[@]}" -- "${texts[@]}" >/dev/null &
finish "the argument check" || end $?

advisory_stderr "$VELMORA_TORCH_PY" "$root/tools/models/build_models.py" \
  --processors "$processors" ${threads:+--threads "$threads"} --progress "$tmp/building" \
  >"$tmp/models" &
finish "the model build" || end 1 # the builder said why
: >"$tmp/building"
models=""
read_file models "$tmp/models"

# The annotator reads the text from descriptor 3 and starts on /dev/null: the
# interpreter would refuse to start on a directory, where it should be the
# annotator's line.
PYTHONPATH="$VELMORA_BUILD/python" "$VELMORA_PY" "$root/tools/annotate.py" \
  --main-model-dir "$models" "${annotate[@]}" -- "${texts[@]}" 3<&0 </dev/null &
finish "the annotation" || end $?
end 0
