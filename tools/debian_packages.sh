#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, as usage says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/debian_packages.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "debian_packages.sh: run it with bash: bash tools/debian_packages.sh TAG PKG..." >&2; exit 1
fi
set -euo pipefail
tools="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
tools="${tools%/*}"
# shellcheck source=tools/arguments.sh
. "$tools/arguments.sh"

usage() {
  cat <<'EOF'
usage: bash tools/debian_packages.sh TAG PACKAGE ...

Installs those of the Debian packages named that are not installed yet, with
apt-get (through sudo unless run as root), saying so in a line that begins
with [TAG] (set-up's "setup", for one); installs nothing when all are there.
Set-up, tools/clang_check.sh and tools/fuzz.sh use it.
EOF
}
# The arguments are checked before anything is looked up or installed.
words_and_help debian_packages.sh "--help, a TAG and PACKAGEs" "$@"
if ((${#words[@]})) && [[ ! "${words[0]}" =~ ^[A-Za-z0-9_.-]+$ ]]; then
  echo "debian_packages.sh: not a TAG: $(quote "${words[0]}") (letters, digits, _, . and -)" >&2
  exit 2
fi
for p in "${words[@]:1}"; do
  # Debian's rule for a package's name, with an architecture after a colon.
  if [[ ! "$p" =~ ^[a-z0-9][a-z0-9+.-]+(:[a-z0-9-]+)?$ ]]; then
    echo "debian_packages.sh: not a Debian package name: $(quote "$p")" >&2
    exit 2
  fi
done
if ((help)); then
  usage
  exit 0
elif ((${#words[@]} < 2)); then
  echo "debian_packages.sh: it takes a TAG and the PACKAGEs to install (bash" \
    "tools/debian_packages.sh TAG PACKAGE ...)" >&2
  exit 2
fi
tag="${words[0]}"
set -- "${words[@]:1}"
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
for command in apt-get $sudo_cmd; do
  if ! command -v "$command" >/dev/null; then
    echo "[$tag] cannot install the Debian packages ${missing[*]}: no $command on PATH" >&2
    exit 1
  fi
done
echo "[$tag] installing Debian packages: ${missing[*]}" >&2
# sudo asks for a password on the terminal, which lets only its foreground
# process group read it. tools/main.sh runs set-up in a process group of its
# own, which the terminal's keys do not reach, and names its own group in
# VELMORA_MAIN_GROUP: where a password is needed, sudo asks for it there
# first, and the packages are then installed with what it was told. A stop
# ends the question, and what sudo then says of it is dropped: a Ctrl-C or
# Ctrl-\ reaches sudo and the shell that passes its words on alike, a stop
# that ends this script reaches them through its trap.
# shellcheck disable=SC2016 # expanded by the shell it is given to
ask='trap "quiet=1" INT QUIT
trap "quiet=1; kill -TERM \$! 2>/dev/null" TERM HUP
while IFS= read -r line; do [ -n "${quiet-}" ] || echo "$line" >&2; done < <(exec sudo -v 2>&1)
wait $!'
if [ -n "$sudo_cmd" ] && [ -n "${VELMORA_MAIN_GROUP:-}" ] && ! sudo -n -v 2>/dev/null; then
  trap 'kill -TERM "${!-}" 2>/dev/null; wait; exit 143' TERM HUP
  perl -e 'setpgrp(0, shift); $SIG{INT} = $SIG{QUIT} = "DEFAULT"; exec @ARGV' -- \
    "$VELMORA_MAIN_GROUP" bash -c "$ask" &
  wait "$!" || exit 1 # sudo has said why
  trap - TERM HUP
fi
$sudo_cmd apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >&2
