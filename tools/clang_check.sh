#!/usr/bin/env bash
# Compiles every source of the library and the module with Debian's clang 14
# as well, for syntax and semantics only, as usage says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/clang_check.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "clang_check.sh: run it with bash: bash tools/clang_check.sh" >&2; exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it

usage() {
  cat <<'EOF'
usage: bash tools/clang_check.sh

Compiles every source of the library and the module with Debian's clang 14
as well, for syntax and semantics only (no code, no objects): the fuzz
targets are built with that clang, and it refuses some code gcc takes
(lambdas that capture structured bindings, for one). Reads the compile
commands of the gcc build, which it builds first (tools/build.sh), and
installs clang 14 and its OpenMP headers when they are missing. About 3
minutes on two cores. Ends with status 1 when the build fails or clang
refuses a source (above its last line).

Variables it honours:
  BUILD_DIR  the gcc build folder (default: build/ in the checkout)
  JOBS       how many sources are checked at once (default: one per core)
  and set-up's (bash tools/setup.sh --help)
EOF
}
# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"
takes_no_arguments clang_check.sh "$@"

# The build's own output goes to standard error only when it fails. A failed
# set-up prints no interpreter and has said why in its own lines: the script
# ends there, with set-up's status.
built="$(bash "$root/tools/build.sh")" || {
  status=$?
  [[ "$built" =~ (^|$'\n')VELMORA_PY= ]] || exit "$status"
  grep -v '^VELMORA_' <<<"$built" >&2 || true
  echo "clang_check.sh: the build failed (above)" >&2
  exit 1
}
eval "$(grep '^VELMORA_' <<<"$built")"
# clang, and its OpenMP headers: the one source built with -fopenmp includes
# ATen's Parallel.h, which includes <omp.h>, and clang finds none of gcc's.
bash "$root/tools/debian_packages.sh" clang clang-14 libomp-14-dev

commands="$(mktemp)"
trap 'rm -f "$commands"' EXIT
# One line per source: its directory, then its gcc command as arguments
# separated by NUL, turned into a clang syntax check.
"$VELMORA_PY" - "$VELMORA_BUILD/compile_commands.json" "$root" >"$commands" <<'PY'
import json
import shlex
import sys

database, root = sys.argv[1:3]
for entry in json.load(open(database, encoding="utf-8")):
    source = entry["file"]
    if not source.startswith((f"{root}/src/", f"{root}/python/")):
        continue
    arguments = ["clang++-14"]
    # A $ or ` in a path (a checkout's) stands in the command escaped for
    # the build tool ($$) and then for the shell (\$ in double quotes, which
    # shlex leaves as it is).
    command = shlex.split(entry["command"].replace("$$", "$"))
    words = iter(word.replace("\\$", "$").replace("\\`", "`") for word in command[1:])
    for word in words:
        if word == "-o":
            next(words)
        # gcc's own: clang knows no TLS dialect flag, and nothing is compiled.
        elif word != "-c" and not word.startswith(("-mtls-dialect", "-flto", "-fno-fat-lto")):
            arguments.append(word)
    arguments += ["-fsyntax-only", "-Wno-unknown-warning-option"]
    print(shlex.join(["cd", entry["directory"]]) + " && " + shlex.join(arguments))
PY
count="$(wc -l <"$commands")"
echo "[clang] checking $count sources with clang 14" >&2
if ! xargs -d '\n' -P "${JOBS:-$(nproc)}" -I{} bash -c '{}' <"$commands"; then
  echo "clang_check.sh: clang 14 refuses code that gcc took (above)" >&2
  exit 1
fi
echo "[clang] all $count sources compile under clang 14" >&2
