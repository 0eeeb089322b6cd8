#!/usr/bin/env bash
# Set up, build, then run every test: the C++ tests under ctest, then the Python
# tests under pytest against the freshly built module.

# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/test.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "test.sh: run it with bash: bash tools/test.sh" >&2; exit 1
fi
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bash tools/test.sh

Sets up the machine (tools/setup.sh: Debian packages and the two Python
environments, installed once), builds the library, the module, the C++ tests
and the test fixtures, then runs every test: the C++ tests under ctest, a
process per core, then the Python tests under pytest against the module just
built. Cases that need ../shared/data skip without it, and the last line
says how many did.

About 16 minutes on two otherwise idle cores once the Python environments,
the compiler cache and the fixture cache are warm (a fresh clone with
../shared/data, pinned to two cores of an 8-core Intel Xeon with taskset,
load 1 to 3: the build 4 minutes, the C++ tests 2, the Python tests 10).
Beside other work on the same cores it takes much longer: 41 minutes was
seen. A first run on a fresh machine first
installs the environments, compiles everything and generates the fixtures:
about 6 minutes more on eight cores, and over 15 more on two.

Variables it honours:
  BUILD_DIR            the build folder (default: build/ in the checkout)
  VELMORA_CACHE        the Python environments, the fixture cache and, unless
                       VELMORA_MODEL_CACHE is set, the models built for the
                       main command's tests (default: ~/.cache/velmora)
  VELMORA_MODEL_CACHE  where those models go instead
  CCACHE_DIR           the compiler cache (default: ~/.cache/ccache)
  TMPDIR               the temporary folder, in which the build and the tests
                       make folders of their own and remove them
  PYENV_ROOT           where set-up looks for CPython 3.11 and 3.12 besides
                       PATH (default: ~/.pyenv)
EOF
}
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
# shellcheck source=tools/arguments.sh
. "$root/tools/arguments.sh"
takes_no_arguments test.sh "$@"

# The build's own output goes to standard error only when it fails. A failed
# set-up prints no interpreter and has said why in its own lines: the script
# ends there, with set-up's status.
built="$(bash "$root/tools/build.sh")" || {
  status=$?
  [[ "$built" =~ (^|$'\n')VELMORA_PY= ]] || exit "$status"
  grep -v '^VELMORA_' <<<"$built" >&2 || true
  echo "test.sh: the build failed (above)" >&2
  exit 1
}
eval "$(grep '^VELMORA_' <<<"$built")"

jobs="$(nproc)"
# The run's own temporary folder: its logs, pytest's folders for the tests
# (its base folder) and the temporary folder of every test and of what it
# runs, which all go with it when the run ends. The run's status is its
# tests': a tree left that cannot be removed is said in one line.
logs="$(mktemp -d)"
trap 'remove_tree test.sh "$logs"' EXIT
mkdir "$logs/tmp"
export TMPDIR="$logs/tmp"
# ctest runs one process per test case on every core; a full intra-op pool in
# each would oversubscribe the machine many times over.
export OMP_NUM_THREADS=1
ctest --test-dir "$VELMORA_BUILD" --output-on-failure -j "$jobs" | tee "$logs/ctest"

export PYTHONPATH="$VELMORA_BUILD/python${PYTHONPATH:+:$PYTHONPATH}"
export VELMORA_FIXTURE_DIR="$VELMORA_BUILD/fixtures"
cd "$root"
"$VELMORA_PY" -m pytest -q -rs --basetemp="$logs/pytest-tmp" tests/python | tee "$logs/pytest"

# Cases that need ../shared/data skip without it: say how many did.
cpp_skipped="$(grep -c '\*\*\*Skipped' "$logs/ctest" || true)"
python_skipped="$(awk '/^SKIPPED \[[0-9]+\].*(shared test data not found|fixtures were generated without the treebank)/ {
  n += substr($2, 2, length($2) - 2) } END { print n + 0 }' "$logs/pytest")"
echo "[test] skipped for missing ../shared/data: $cpp_skipped C++ cases, $python_skipped Python cases"
