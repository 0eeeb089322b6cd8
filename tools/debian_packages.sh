#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, saying so
# with the caller's tag: usage tools/debian_packages.sh TAG PACKAGE...
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/debian_packages.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "debian_packages.sh: run it with bash: bash tools/debian_packages.sh TAG PKG..." >&2; exit 1
fi
set -euo pipefail
tag="$1"
shift
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "[$tag] installing Debian packages: ${missing[*]}" >&2
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >&2
