# shellcheck shell=bash
# Sourced by the scripts of tools/: what they share for their arguments,
# which each checks before anything is set up or built.

# takes_no_arguments NAME ARG...: for a script that takes none but -h and
# --help. Refuses any other in one line, with status 2; with -h or --help
# alone, prints the script's usage (its function `usage`) and ends it.
takes_no_arguments() {
  local name="$1" arg
  shift
  for arg in "$@"; do
    if [ "$arg" != --help ] && [ "$arg" != -h ]; then
      echo "$name: unrecognized argument: $(quote "$arg") (it takes none but --help)" >&2
      exit 2
    fi
  done
  if (($#)); then
    usage
    exit 0
  fi
}

# words_and_help NAME TAKES ARG...: for a script that takes -h, --help and
# words but no other option. Sets `words` to the words, in order, and `help`
# to 1 when -h or --help is among the arguments, else 0; refuses any other
# option in one line, saying that it takes TAKES, with status 2.
# shellcheck disable=SC2034 # words and help are the caller's
words_and_help() {
  local name="$1" takes="$2" arg
  shift 2
  words=() help=0
  for arg in "$@"; do
    case "$arg" in
      -h | --help) help=1 ;;
      -*)
        echo "$name: unrecognized argument: $(quote "$arg") (it takes $takes)" >&2
        exit 2
        ;;
      *) words+=("$arg") ;;
    esac
  done
}

# A refusal's line names the argument or the variable refused: it must stay
# one line of readable text, whatever bytes the value holds.

# quote TEXT [NAME]: TEXT between single quotes, with a backslash written
# \\, a newline \n, a tab \t, a carriage return \r and any other control
# byte \xNN; bytes that are not UTF-8 are \xNN too, and the characters of
# UTF-8 that end or break a line where printed (C1 controls, U+2028, U+2029)
# \uNNNN. Other UTF-8 characters stand as they are. Bytes are read as bytes
# whatever the locale. Printed, or put in the variable NAME when given
# (one not beginning with _) with no subshell: main.sh runs nothing in the
# foreground.
quote() {
  local LC_ALL=C
  local _text="$1" _out="" _chunk _i _n _b _c _width _least _most _code _k
  while [ -n "$_text" ]; do
    # A chunk at a time: a byte offset into a long string costs its length.
    # The bytes that continue a character at the cut go with the chunk.
    _chunk="${_text:0:256}"
    _text="${_text:256}"
    for _k in 1 2 3; do
      printf -v _b '%d' "'${_text:0:1}"
      ((_b >= 0x80 && _b <= 0xbf)) || break
      _chunk+="${_text:0:1}"
      _text="${_text:1}"
    done
    case "$_chunk" in
      *[!\ -~]* | *\\*) ;;
      *) _out+="$_chunk" && continue ;; # printable ASCII alone, as it is
    esac
    _n=${#_chunk}
    for ((_i = 0; _i < _n; _i++)); do
      _c="${_chunk:_i:1}"
      printf -v _b '%d' "'$_c"
      if ((_b >= 0x20 && _b < 0x7f)); then
        [ "$_c" != "\\" ] || _c="\\\\"
        _out+="$_c"
        continue
      fi
      case "$_b" in
        10) _out+='\n' && continue ;;
        9) _out+='\t' && continue ;;
        13) _out+='\r' && continue ;;
      esac
      _width=0 _least=0x80 _most=0xbf
      if ((_b >= 0xc2 && _b <= 0xdf)); then
        _width=2 _code=$((_b & 0x1f))
      elif ((_b >= 0xe0 && _b <= 0xef)); then
        _width=3 _code=$((_b & 0x0f))
        ((_b != 0xe0)) || _least=0xa0 # no overlong form
        ((_b != 0xed)) || _most=0x9f  # no surrogate
      elif ((_b >= 0xf0 && _b <= 0xf4)); then
        _width=4 _code=$((_b & 0x07))
        ((_b != 0xf0)) || _least=0x90
        ((_b != 0xf4)) || _most=0x8f # nothing past U+10FFFF
      fi
      for ((_k = 1; _k < _width; _k++)); do
        printf -v _c '%d' "'${_chunk:_i+_k:1}"
        ((_c >= _least && _c <= _most)) || { _width=0 && break; }
        _least=0x80 _most=0xbf
        _code=$((_code << 6 | (_c & 0x3f)))
      done
      if ((_width == 0)); then
        printf -v _c '\\x%02x' "$_b"
      elif ((_code <= 0x9f || _code == 0x2028 || _code == 0x2029)); then
        printf -v _c '\\u%04x' "$_code"
      else
        _c="${_chunk:_i:_width}"
      fi
      _out+="$_c"
      ((_width == 0)) || _i=$((_i + _width - 1))
    done
  done
  if (($# > 1)); then
    printf -v "$2" "'%s'" "$_out"
  else
    printf "'%s'" "$_out"
  fi
}

# remove_tree NAME FOLDER: removes FOLDER and all it holds, as a script's
# EXIT trap does with its own temporary folder. A folder inside that lost
# its owner's rights (a test that took them and did not give them back) gets
# them back first: root's rm ignores modes, another user's does not. It never
# fails, so that under `set -e` the script's status stays its own: a tree it
# still cannot remove is named in one line on standard error.
remove_tree() {
  local name="$1" folder="$2" said lacking before=""
  [ -e "$folder" ] || [ -L "$folder" ] || return 0
  # The rights go back in passes of one chmod for many folders, not one for
  # each (thousands of them took half a minute). Find cannot enter a folder
  # that lacks them before its chmod, so the folders inside come in the next
  # pass. The passes end with one that finds no folder lacking them, or the
  # same folders as the one before: those chmod cannot change.
  while lacking="$(find "$folder" -type d ! -perm -u=rwx -print \
    -exec chmod u+rwx -- {} + 2>/dev/null || true)" &&
    [ -n "$lacking" ] && [ "$lacking" != "$before" ]; do
    before="$lacking"
  done
  if ! said="$(rm -rf -- "$folder" 2>&1)"; then
    said="${said%%$'\n'*}"
    echo "$name: could not remove its temporary folder $(quote "$folder") (${said##*: })" \
      >&2 2>/dev/null || true
  fi
  return 0
}
