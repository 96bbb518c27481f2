#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo pass their validators (offline), agree with
# each other and with the icon, and the entry's StartupWMClass is the class the running
# window really has (else the desktop shows the window with a generic icon).
#   desktop_entry_test.sh PACKAGING_DIR TALVEX
set -uo pipefail
dir=$1 talvex=$2
desktop=$dir/talvex.desktop
metainfo=$(ls "$dir"/*.metainfo.xml)
failures=0 checked=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
key() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }

if command -v desktop-file-validate >/dev/null; then
  checked=$((checked + 1))
  # Warnings and hints count too.
  out=$(desktop-file-validate "$desktop" 2>&1); rc=$?
  [ $rc -eq 0 ] && [ -z "$out" ] || fail "desktop-file-validate:"$'\n'"$out"
else
  echo "skipped: desktop-file-validate (desktop-file-utils) is missing"
fi

if command -v appstreamcli >/dev/null; then
  checked=$((checked + 1))
  out=$(appstreamcli validate --no-net --pedantic --no-color "$metainfo" 2>&1); rc=$?
  [ $rc -eq 0 ] || fail "appstreamcli validate:"$'\n'"$out"
  # Anything it reports counts, whatever the exit code says.
  if grep -E '^[A-Z]:' <<<"$out"; then fail "appstreamcli reports problems"; fi
else
  echo "skipped: appstreamcli (appstream) is missing"
fi

# The pieces name each other.
[ "$(key Icon)" = talvex ] || fail "Icon= is not talvex"
[ -f "$dir/icons/$(key Icon).svg" ] || fail "no icon file icons/$(key Icon).svg"
[ "$(key Exec)" = talvex ] || fail "Exec= is not the installed program talvex"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" \
  || fail "the metainfo does not launch $(basename "$desktop")"
id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "metainfo file name does not match its id $id"
grep -q '^Name\[ko\]=' "$desktop" || fail "no Korean name"
grep -q '<screenshot type="default">' "$metainfo" || fail "no default screenshot in the metainfo"

# The class of the real window, under a virtual X server.
wm_class_of_window() {
  local runtime; runtime=$(mktemp -d); chmod 700 "$runtime"
  XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$runtime/config XDG_DATA_HOME=$runtime/data \
    TALVEX_CONFIG_FILE=$runtime/talvex.ini QT_QPA_PLATFORM=xcb "$talvex" >/dev/null 2>&1 &
  local pid=$! class="" i id
  for i in $(seq 100); do
    for id in $(xwininfo -root -children 2>/dev/null | awk '/^ +0x/ {print $1}'); do
      class=$(xprop -id "$id" WM_CLASS 2>/dev/null | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
      [ -n "$class" ] && break 2
    done
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  kill $pid 2>/dev/null; wait $pid 2>/dev/null
  rm -rf "$runtime"
  echo "$class"
}
if command -v xvfb-run >/dev/null && command -v xprop >/dev/null && command -v xwininfo >/dev/null; then
  checked=$((checked + 1))
  class=$(xvfb-run -a bash -c "$(declare -f wm_class_of_window); talvex='$talvex' wm_class_of_window")
  [ -n "$class" ] || fail "the window did not show up under Xvfb"
  [ -z "$class" ] || [ "$class" = "$(key StartupWMClass)" ] \
    || fail "StartupWMClass=$(key StartupWMClass) but the window's class is $class"
else
  echo "skipped: window class check (needs xvfb-run, xprop and xwininfo: xvfb, x11-utils)"
fi

[ $checked -gt 0 ] || exit 77
if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "desktop entry and metainfo: all checks passed"
