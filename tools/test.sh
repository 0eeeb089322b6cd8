#!/usr/bin/env bash
# Set up, build, then run every test: the C++ tests under ctest, then the Python
# tests under pytest against the freshly built module.

# Written for bash: another shell (`sh tools/test.sh`, dash on Debian) would
# stop at the first line of bash's own. This part is plain POSIX and hands the
# script to bash in the same process.
if [ -z "${BASH_VERSION-}" ]; then
  if [ -f "$0" ] && command -v bash >/dev/null 2>&1; then
    exec bash "$0" "$@"
  fi
  echo "test.sh: run it with bash: bash tools/test.sh" >&2
  exit 1
fi
set -euo pipefail
root="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
root="$(cd -- "${root%/*}/.." && pwd)"       # the checkout that holds it
# The build's own output goes to standard error only when it fails. A failed
# set-up prints no interpreter and has said why in its own lines: the script
# ends there, with set-up's status.
built="$(bash "$root/tools/build.sh")" || {
  status=$?
  grep -q '^VELMORA_PY=' <<<"$built" || exit "$status"
  grep -v '^VELMORA_' <<<"$built" >&2 || true
  echo "test.sh: the build failed (above)" >&2
  exit 1
}
eval "$(grep '^VELMORA_' <<<"$built")"

jobs="$(nproc)"
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
# ctest runs one process per test case on every core; a full intra-op pool in
# each would oversubscribe the machine many times over.
export OMP_NUM_THREADS=1
ctest --test-dir "$VELMORA_BUILD" --output-on-failure -j "$jobs" | tee "$logs/ctest"

export PYTHONPATH="$VELMORA_BUILD/python${PYTHONPATH:+:$PYTHONPATH}"
export VELMORA_FIXTURE_DIR="$VELMORA_BUILD/fixtures"
cd "$root"
"$VELMORA_PY" -m pytest -q -rs tests/python | tee "$logs/pytest"

# Cases that need ../shared/data skip without it: say how many did.
cpp_skipped="$(grep -c '\*\*\*Skipped' "$logs/ctest" || true)"
python_skipped="$(awk '/^SKIPPED \[[0-9]+\].*(shared test data not found|fixtures were generated without the treebank)/ {
  n += substr($2, 2, length($2) - 2) } END { print n + 0 }' "$logs/pytest")"
echo "[test] skipped for missing ../shared/data: $cpp_skipped C++ cases, $python_skipped Python cases"
