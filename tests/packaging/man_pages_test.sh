#!/usr/bin/env bash
# The manual pages render without a single warning from man or groff, and each documents
# exactly the options its program's --help lists.
#   man_pages_test.sh MAN_DIR TALVEX_CLI TALVEX_DEVSERVER
set -uo pipefail
man_dir=$1 cli=$2 devserver=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

have_man=1 have_groff=1
command -v man >/dev/null || { echo "skipped: man (man-db) is missing"; have_man=0; }
command -v groff >/dev/null || { echo "skipped: groff (groff-base) is missing"; have_groff=0; }
[ $have_man$have_groff = 00 ] && exit 77

pages=(talvex.1 talvex-cli.1 talvex-devserver.1)
for page in "${pages[@]}"; do
  file=$man_dir/$page
  [ -f "$file" ] || { fail "$page is missing"; continue; }
  if [ $have_man = 1 ]; then
    # Both the UTF-8 and the ASCII device: a character a device cannot show is a warning.
    for locale in C.UTF-8 C; do
      out=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
      [ -z "$out" ] || fail "man --warnings $page ($locale):"$'\n'"$out"
    done
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
      grep -q "^$section\$" <<<"$text" || fail "$page has no $section section"
    done
  fi
  if [ $have_groff = 1 ]; then
    out=$(groff -K utf8 -man -Tutf8 -z -wall "$file" 2>&1)
    [ -z "$out" ] || fail "groff -wall $page:"$'\n'"$out"
  fi
done

# Long options as the program's --help lists them, and as the page documents them (written
# \-\-name in roff) outside its examples. Both programs take --help, which their usage
# text does not list.
help_options() { { "$1" --help | grep -o -- '--[a-z][a-z-]*'; echo --help; } | sort -u; }
page_options() {
  sed '/^\.SH EXAMPLES/,/^\.SH [^E]/d' "$1" | grep -o -- '\\-\\-[a-z][a-z\\-]*' | sed 's/\\-/-/g' | sort -u
}
compare_options() { # program page
  local program=$1 page=$2 from_help from_page
  from_help=$(help_options "$program") || { fail "$program --help failed"; return; }
  [ -n "$from_help" ] || { fail "$program --help lists no option"; return; }
  from_page=$(page_options "$page")
  local missing extra
  missing=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
  extra=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
  [ -z "$missing" ] || fail "$(basename "$page") does not document: $(echo $missing)"
  [ -z "$extra" ] || fail "$(basename "$page") documents options $(basename "$program") does not have: $(echo $extra)"
}
compare_options "$cli" "$man_dir/talvex-cli.1"
compare_options "$devserver" "$man_dir/talvex-devserver.1"

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "manual pages: all checks passed"
