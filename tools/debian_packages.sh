#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, saying so
# with the caller's tag: usage tools/debian_packages.sh TAG PACKAGE...
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
