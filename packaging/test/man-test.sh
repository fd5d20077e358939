#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual pages render without a warning, lscam(1) names every command and option that
# lscam's help lists, and vantorpi(3) every function and result code of the header.
#
# man-test.sh MAN_DIR HEADER SIM_DIR [LSCAM]
set -euo pipefail

man_dir=$1 header=$2 sim=$3 lscam=${4:-}
fail() { printf 'man test: %s\n' "$*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v man >/dev/null || fail "man is not installed (apt-get install man-db)"

# render PAGE: the page as text in $work/PAGE.txt, without hyphenation so that every name stays
# whole; a warning of man or groff fails the test.
render() {
  local name err=$work/stderr
  name=$(basename "$1")
  LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings --nh --nj -l "$1" 2>"$err" >"$work/$name.txt" || {
    cat "$err" >&2
    fail "man -l $1 failed"
  }
  [[ ! -s $err ]] || { cat "$err" >&2; fail "man -l $1 warns"; }
  grep -q '^NAME' "$work/$name.txt" || fail "$1 has no NAME section"
}

expect_in() {
  local name what=$2 missing=()
  name=$(basename "$1")
  shift 2
  for word in "$@"; do grep -qF -- "$word" "$work/$name.txt" || missing+=("$word"); done
  ((${#missing[@]} == 0)) || fail "$name does not name the $what: ${missing[*]}"
}

page=$man_dir/vantorpi.3.gz
[[ -f $page ]] || fail "$page was not built"
render "$page"
mapfile -t functions < <(grep -o '\bls_[a-z0-9_]*(' "$header" | sort -u)
mapfile -t codes < <(sed -n 's/^#define \(\(CX\|LS_E\)[A-Z0-9_]*\) .*/\1/p' "$header")
((${#functions[@]} > 0 && ${#codes[@]} > 0)) || fail "no functions or codes in $header"
expect_in "$page" "functions" "${functions[@]}"
expect_in "$page" "result codes" "${codes[@]}"
echo "vantorpi(3): renders cleanly, ${#functions[@]} functions and ${#codes[@]} result codes"

if [[ -n $lscam ]]; then
  page=$man_dir/lscam.1.gz
  [[ -f $page ]] || fail "$page was not built"
  render "$page"
  export LD_LIBRARY_PATH=$sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
  help=$("$lscam" help)
  mapfile -t commands < <(sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p' <<<"$help")
  ((${#commands[@]} > 0)) || fail "no commands in lscam help"
  for c in "${commands[@]}"; do [[ $c == help ]] || help+=$'\n'$("$lscam" help "$c"); done
  mapfile -t options < <(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
  expect_in "$page" "commands" "${commands[@]}"
  expect_in "$page" "options" "${options[@]}"
  echo "lscam(1): renders cleanly, ${#commands[@]} commands and ${#options[@]} options"
fi
echo "man test: passed"
