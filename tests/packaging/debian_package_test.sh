#!/usr/bin/env bash
# The Debian package of the built tree: cpack makes it in a temporary folder; its file list,
# control fields and file modes are what an installation needs; a copy unpacked with
# dpkg-deb -x runs: talvex-cli --help, a development server and a client session from the
# copy, and the window starts.
#   debian_package_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2
for tool in cpack dpkg-deb dpkg-shlibdeps readelf; do
  command -v $tool >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
  if [ $failures -gt 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "Debian package: all checks passed"; exit 0
}

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack failed"; finish
fi
arch=$(dpkg --print-architecture)
deb=$work/out/talvex_${version}_${arch}.deb
[ -f "$deb" ] || { ls "$work/out"; fail "no $(basename "$deb")"; finish; }

# ---- file list: exactly these files, nothing else (no tests, no example plug-in) ----------
expected_files() {
  cat <<LIST
usr/bin/talvex
usr/bin/talvex-cli
usr/bin/talvex-devserver
usr/include/talvex_plugin.h
usr/share/applications/talvex.desktop
usr/share/bash-completion/completions/talvex-cli
usr/share/fish/vendor_completions.d/talvex-cli.fish
usr/share/zsh/vendor-completions/_talvex-cli
usr/share/doc/talvex/cli-json.md
usr/share/icons/hicolor/scalable/apps/talvex.svg
usr/share/man/man1/talvex-cli.1.gz
usr/share/man/man1/talvex-devserver.1.gz
usr/share/man/man1/talvex.1.gz
usr/share/metainfo/kr.co.parvanetix.talvex.metainfo.xml
LIST
  for size in 16 22 24 32 48 64 128 256; do echo "usr/share/icons/hicolor/${size}x${size}/apps/talvex.png"; done
}
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's|^\./||' | sort >"$work/files"
if ! diff -u <(expected_files | sort) "$work/files"; then fail "file list differs (- expected, + in the package)"; fi
grep -q ' \./usr/lib/talvex/plugins/$' "$work/contents" || fail "no plug-in folder usr/lib/talvex/plugins/"
# Programs executable by everyone, data files not executable, everything owned by root.
for p in talvex talvex-cli talvex-devserver; do
  grep -Eq "^-rwxr-xr-x root/root .* \./usr/bin/$p\$" "$work/contents" || fail "usr/bin/$p is not -rwxr-xr-x root/root"
done
if awk '$1 !~ /^d/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" {print}' "$work/contents" | grep .; then
  fail "data files with modes other than -rw-r--r--"
fi
if awk '$2 != "root/root" {print}' "$work/contents" | grep .; then fail "files not owned by root/root"; fi

# ---- control fields -----------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = talvex ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
depends_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
# Every library the programs link comes from a package the package depends on.
for lib in libc6 libstdc++6 libcurl4 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
  grep -qxF "$lib" <<<"$depends_names" || fail "Depends lacks $lib: $depends"
done
grep -q fonts-nanum <<<"$(field Recommends)" || fail "Recommends lacks a Korean font"
# QtKeychain loads libsecret at run time (no link for dpkg-shlibdeps to see) and talks to a
# secret store the desktop brings.
for lib in libsecret-1-0 libqt6keychain1 libqt6dbus6; do
  grep -qxF "$lib" <<<"$depends_names" || fail "Depends lacks $lib: $depends"
done
grep -q gnome-keyring <<<"$(field Recommends)" || fail "Recommends lacks a secret store"

# ---- the unpacked copy runs ---------------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root" || { fail "dpkg-deb -x failed"; finish; }
bin=$root/usr/bin
for p in talvex talvex-cli talvex-devserver; do
  if readelf -S "$bin/$p" | grep -q '\.debug_info'; then fail "$p carries debug information (not stripped)"; fi
  if ldd "$bin/$p" | grep 'not found'; then fail "$p needs libraries that are not there"; fi
done

home=$work/home
mkdir -p "$home/runtime" && chmod 700 "$home/runtime"
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home/runtime

out=$("$bin/talvex-cli" --help 2>&1) || fail "talvex-cli --help exits with $?"
grep -q '^usage: talvex-cli' <<<"$out" || fail "talvex-cli --help prints no usage: $out"
out=$("$bin/talvex-devserver" --help 2>&1) || fail "talvex-devserver --help exits with $?"
grep -q '^usage: talvex-devserver' <<<"$out" || fail "talvex-devserver --help prints no usage: $out"

# A development server from the copy on free loopback ports, and a session of the client
# from the copy against it. The server stops when the test ends or after a minute.
timeout 60 "$bin/talvex-devserver" --root "$work/storage" --web-port 0 --command-port 0 --control-port 0 \
  --ports-file "$work/ports" --quiet >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/ports" ] && break; sleep 0.05; done
if [ -s "$work/ports" ]; then
  # shellcheck disable=SC1091
  . "$work/ports"
  cli() {
    printf '%s\n' demo1234 | timeout 60 "$bin/talvex-cli" --web-host "127.0.0.1:$WEB_PORT" \
      --control-port "$CONTROL_PORT" --command-port "$COMMAND_PORT" --user demo --password-stdin "$@"
  }
  echo "from the package" >"$work/note.txt"
  cli mkdir /pkg >/dev/null || fail "talvex-cli mkdir from the copy failed"
  out=$(cli put "$work/note.txt" /pkg) || fail "talvex-cli put from the copy failed: $out"
  listing=$(cli ls /pkg) || fail "talvex-cli ls from the copy failed"
  grep -Pq '^-\t17\t.*\tnote\.txt$' <<<"$listing" || fail "uploaded file not listed: $listing"
  cmp -s "$work/note.txt" "$work/storage/demo/pkg/note.txt" || fail "the server did not store the file"
  # An installed client keeps its log in the user's data folder.
  ls "$XDG_DATA_HOME"/talvex/cli/talvex.*.log >/dev/null 2>&1 || fail "no log in \$XDG_DATA_HOME/talvex/cli/"
else
  cat "$work/server.log"
  fail "the development server from the copy did not start"
fi

# The window from the copy starts and keeps running (offscreen) until stopped.
QT_QPA_PLATFORM=offscreen TALVEX_CONFIG_FILE=$home/talvex.ini timeout 3 "$bin/talvex" >"$work/window.log" 2>&1
rc=$?
[ $rc -eq 124 ] || { cat "$work/window.log"; fail "the window from the copy ended with $rc before it was stopped"; }

finish
