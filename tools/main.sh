#!/usr/bin/env bash
# A stop before the handlers below exist only counts: the first thing done.
trap 'early=INT' INT; trap 'early=TERM' TERM; trap 'early=HUP' HUP; trap 'early=QUIT' QUIT

# Set up, build, and run the main job: annotate a text with an English
# pipeline (by default "tokenize,mwt,pos,lemma,depparse") and print CoNLL-U,
# what CoNLL-U cannot carry, and the words per second. `--help` (usage
# below) gives the options and the exit statuses, the README the rest.
#
#   bash tools/main.sh [--processors LIST] [--json] [--threads N] [TEXT ...]
#   echo TEXT | bash tools/main.sh [--processors LIST]
#
# Each error is one line on standard error; SIGHUP ends it without one, the
# terminal that would show it being gone. A line on standard error that
# cannot be written changes nothing.
#
# Every command this script starts runs in the background, in a process
# group of its own (`run`), and is waited for with `wait`, which a trapped
# signal interrupts at once; nothing runs in the foreground but once the
# command is ending, with the stop signals ignored. (Bash waiting for a
# foreground command when SIGINT comes waits for it to end, and if it then
# exits normally takes it that the command handled the Ctrl-C itself: the
# trap never runs, and the command goes on.) The terminal sends its keys
# (Ctrl-C, Ctrl-\) to its foreground group alone, which is this script's:
# no step takes them, nor says anything of them. A stop, whether it comes
# from the terminal, reaches this script alone (kill, a supervisor) or its
# whole group (a closed terminal, `timeout`), runs the trap, which ends the
# group of the command in flight as a whole (see `stop`), says so in one
# line (but for SIGHUP) and ends the command. A stop that comes before bash
# has read the first line of this file is bash's: SIGINT, SIGTERM and SIGHUP
# end it then, with nothing started and nothing said, and SIGQUIT, which
# bash ignores until a script traps it, is lost. SIGKILL ends this script
# alone: the step in flight then runs on to its end.
#
# A stop counts until the command knows how it ends: its annotation's output
# written, or an error to say. From then on a stop changes nothing: the
# command ends with the status it was ending with, says the line it had to
# say and nothing more, and leaves nothing behind. A step that ends the
# command (the annotation; the argument check, the model builder or the
# annotator failing) does not say its last line itself: it hands this script
# that line and its status in one file, whole or not at all, and this script
# says it, whether the step then exits by itself or the stop ends it (see
# `concluded`). A stop that comes as the annotator writes its output waits
# for the output and that hand-over, within the 0.3 s a stopped step is
# given. The one exception is a failed set-up, whose own lines come from
# set-up as it fails: a stop as it ends after them is a stop still, its
# line after theirs.

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

# Runs "$@" in the background and waits for it; returns its status. It runs
# in a process group of its own, made before "$@" is executed, whose number
# is its process's, $!, which bash sets before a trap can run: `stop` ends
# that group whole, and the process itself should it not have made the group
# yet, so that nothing it started escapes, however young. The terminal's keys
# do not reach that group, and its processes ignore SIGTTOU and SIGTTIN, so
# that the terminal never stops one that writes to it (`stty tostop`) or
# reads it: such a read fails instead. (Set-up's sudo asks for a password in
# this script's group instead: VELMORA_MAIN_GROUP, tools/debian_packages.sh.)
run() {
  perl -e '$SIG{TTOU} = $SIG{TTIN} = "IGNORE";
    setpgrp or die "main.sh: cannot start a process group: $!\n";
    exec { $ARGV[0] } @ARGV or die "main.sh: cannot run $ARGV[0]: $!\n"' -- "$@" &
  wait $! 2>/dev/null # quiet: bash would report a command that a signal killed
}

# Whether process $1, or a process of the group it made, is still running
# (a zombie has ended, however long whoever reaps it takes).
in_flight() {
  local stat line
  kill -0 -- "-$1" 2>/dev/null || kill -0 "$1" 2>/dev/null || return 1
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    [[ "${line##*) }" =~ ^[^Z]\ [0-9]+\ ([0-9]+)\  ]] || continue
    [ "${BASH_REMATCH[1]}" != "$1" ] && [ "$stat" != "/proc/$1/stat" ] || return 0
  done
  return 1
}

# Ends the command in flight, if any: the last that `run` started. SIGTERM
# goes to its group, and to the process itself should it not have made the
# group yet; the model builder answers by removing the work folder of the
# bundle it was building and ending, saying nothing more, unless a tensor
# call keeps it from answering (Python runs its handler only when the call
# returns, seconds later on a busy machine). What is still there 0.3 s later
# is killed. Then `strays` goes.
stop() {
  local step="${!-}" deadline
  if [ -n "$step" ]; then
    kill -TERM -- "-$step" "$step" 2>/dev/null || true
    deadline=$((${EPOCHREALTIME//[!0-9]/} + 300000))
    while in_flight "$step" && ((${EPOCHREALTIME//[!0-9]/} < deadline)); do
      sleep 0.02
    done
    if in_flight "$step"; then
      kill -KILL -- "-$step" "$step" 2>/dev/null || true
      for _ in {1..50}; do # one in a write to disk ends when the write does
        in_flight "$step" || break
        sleep 0.02
      done
    fi
    wait "$step" 2>/dev/null || true # quiet, as in run
  fi
  strays
}

# Ends what left its step's group to run in a group of its own with a
# temporary folder of this command's: the compilers that ninja starts (in the
# build's temporary folder, inside this script's) and those that a killed
# model builder had started (in the work folder of the bundle it was on), lest
# one go on writing there. Then removes the builder's work folders, which it
# names in its progress file before making each (one that ended by itself has
# removed them, and says so).
strays() {
  local progress=() patterns=() folder pids
  [ -z "${tmp:-}" ] || mapfile -t progress 2>/dev/null <"$tmp/building" || true
  for folder in ${tmp:+"$tmp"} "${progress[@]:1}"; do
    patterns+=(-e "TMPDIR=$folder/")
  done
  ((${#patterns[@]})) || return 0
  pids="$(grep -lzF "${patterns[@]}" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3)" || true
  # shellcheck disable=SC2086 # process numbers, one a line
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
  for folder in "${progress[@]:1}"; do
    for _ in {1..50}; do
      rm -rf -- "$folder" 2>/dev/null || true
      [ ! -e "$folder" ] && break
      sleep 0.02
    done
  done
}

# Sets `bundle` to the bundle the model builder is on (none before it starts
# or after it ends): the first line of its progress file.
building() {
  bundle=""
  [ -z "${tmp:-}" ] || read -r bundle 2>/dev/null <"$tmp/building" || true
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

# The stop signals' trap: ends the command by signal $1 (INT, TERM, HUP or
# QUIT) with its status and its line (none for SIGHUP). Later signals are
# ignored: nothing may cut the stop short. A step that has said how it ends
# the command, before the stop or as `stop` ended it, has ended it: the stop
# changes nothing (see `concluded`).
# shellcheck disable=SC2317 # run by the traps
stopped() {
  trap '' INT TERM HUP QUIT
  local status word bundle
  case "$1" in
    INT) status=130 word=interrupted ;;
    TERM) status=143 word=terminated ;;
    HUP) status=129 word="" ;;
    *) status=131 word=quit ;;
  esac
  stop
  concluded
  building
  if [ -n "$word" ] && [ -n "$bundle" ]; then
    say "$word while building the $bundle bundle; the bundles finished are kept and the" \
      "next run builds the rest"
  elif [ -n "$word" ]; then
    say "$word"
  fi
  end "$status"
}
trap 'stopped INT' INT
trap 'stopped TERM' TERM
trap 'stopped HUP' HUP
trap 'stopped QUIT' QUIT
[ -z "${early-}" ] || stopped "$early"
# A line for a reader that has gone fails rather than ending this script by
# SIGPIPE, before its status and its clean-up; the steps start with SIGPIPE's
# default action, as a trap is not inherited.
trap : PIPE

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

# A step whose standard error is advisory runs "$@" in `bash -c` with this:
# its standard error is passed on by a copy that drops what cannot be written
# (a reader that has gone, a full disk), so that a progress line never stops
# a build. The status is the command's (pipefail: the copy ends with 0);
# bash's own report of a command that a signal killed goes to /dev/null.
ADVISORY='set -o pipefail
{ "$@" 2>&1 >&3 3>&- 4>&- | { cat >&4 2>/dev/null || cat >/dev/null; } 3>&-; } 3>&1 4>&2 2>/dev/null'

# Runs the step "${@:2}" as `run` does and returns its status, unless it has
# said how it ends the command (see `concluded`). A step that a signal killed
# ends the command with one line naming it ($1) and status 1 (141 is left
# alone: the annotator exits so when its reader goes).
step() {
  local what="$1" status=0 signal
  shift
  run "$@" || status=$?
  concluded
  if ((status > 128 && status != 141)); then
    kill -l "$status" >"$tmp/signal"
    read -r signal <"$tmp/signal"
    killed "$what" "SIG$signal"
  fi
  return "$status"
}

# Ends the command after a step that signal $2 killed, with one line and
# status 1, once what that step had started is stopped too. A signal from
# here on changes nothing: the command is ending.
killed() {
  local what="$1" signal="$2" bundle need
  trap '' INT TERM HUP QUIT
  stop
  if [ "$what" = "the model build" ]; then
    building
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
  # Written by a process of its own, whose status is the command's: a reader
  # that has gone ends it by SIGPIPE, quietly (only this script traps it),
  # and a write that fails says why, in the annotator's words.
  {
    printf '%s' "$text" 2>&1 >&3 3>&- |
      { IFS= read -r said || exit 0 && say "cannot write standard output: ${said##*: }"; }
  } 3>&1 &
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

# Steps start with perl (`run`), which every Debian system has.
if ! command -v perl >/dev/null; then
  say "no perl command on PATH: the command starts each of its steps with it"
  end 1
fi

# What `mktemp -d` does, but for printing the name, which would have to be
# read from a command substitution: a folder only this user may enter, named
# for this run (its process and a random number; one of a killed run of the
# same number is this script's own leftover) before it is made, so that
# whenever a stop comes, `leave` removes it once `stop` has ended the mkdir.
trap leave EXIT
printf -v tmp '%s/main.sh.%s.%08x' "${TMPDIR:-/tmp}" $$ "$SRANDOM"
if ! run bash -c 'exec mkdir -m 700 -- "$1" 2>/dev/null' mkdir "$tmp"; then
  tmp=""
  say "cannot make a folder in the temporary folder ${TMPDIR:-/tmp}: set TMPDIR to a folder you" \
    "can write"
  end 1
fi
run readlink -f -- "${BASH_SOURCE[0]}" >"$tmp/root" # this file, through any chain of links
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

# The group the terminal's keys reach: where set-up's sudo asks for a password.
read -r line </proc/$$/stat
read -r _ _ group _ <<<"${line##*) }"
export VELMORA_MAIN_GROUP="$group"

# The build makes its temporary folder in this script's: what a stop leaves
# of it goes with that.
built=0
TMPDIR="$tmp" step "the build" bash -c "$ADVISORY" bash bash "$root/tools/build.sh" \
  >"$tmp/build" || built=$?
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
PYTHONPATH="$VELMORA_BUILD/python" step "the argument check" "$VELMORA_PY" \
  "$root/tools/annotate.py" --main-check "${annotate[@]}" -- "${texts[@]}" >/dev/null || end $?

step "the model build" bash -c "$ADVISORY" bash "$VELMORA_TORCH_PY" \
  "$root/tools/models/build_models.py" --processors "$processors" \
  ${threads:+--threads "$threads"} --progress "$tmp/building" >"$tmp/models" ||
  end 1 # the builder said why
: >"$tmp/building"
models=""
read_file models "$tmp/models"

# The annotator reads the text from descriptor 3 and starts on /dev/null: the
# interpreter would refuse to start on a directory, where it should be the
# annotator's line.
PYTHONPATH="$VELMORA_BUILD/python" step "the annotation" "$VELMORA_PY" "$root/tools/annotate.py" \
  --main-model-dir "$models" "${annotate[@]}" -- "${texts[@]}" 3<&0 </dev/null || end $?
end 0
