#!/usr/bin/env bash
# Talvex: one script to set up, build, test and run.
#   ./talvex.sh build   configure and build (installs the Debian packages it needs when root)
#   ./talvex.sh test    build and run every test (ctest); the engine tests also under ASan+UBSan and TSan
#   ./talvex.sh run     build, start the development server with a demo account, start the client
#   ./talvex.sh bench   build and run the benchmarks (those over emulated links only as root)
#   ./talvex.sh package build and make the Debian package build/talvex_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${TALVEX_BUILD_DIR:-$ROOT/build}
BUILD_ASAN=${TALVEX_ASAN_BUILD_DIR:-$ROOT/build-asan}
BUILD_TSAN=${TALVEX_TSAN_BUILD_DIR:-$ROOT/build-tsan}
JOBS=${TALVEX_JOBS:-$(nproc)}

PACKAGES=(g++ cmake ninja-build pkg-config shared-mime-info qt6-base-dev qt6-translations-l10n
          libgtest-dev libgmock-dev libbenchmark-dev libcurl4-openssl-dev libssl-dev libsqlite3-dev nlohmann-json3-dev jq fonts-nanum xvfb xauth
          iproute2 python3 rsync
          librsvg2-bin dpkg-dev desktop-file-utils appstream man-db x11-utils
          qtkeychain-qt6-dev libsecret-1-0 gnome-keyring dbus-daemon)

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

ensure_packages() {
  local missing
  missing=$(missing_packages | tr '\n' ' ')
  [ -z "${missing// /}" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing. Install them, then run again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends $missing" >&2
    exit 1
  fi
  echo "== installing: $missing"
  export DEBIAN_FRONTEND=noninteractive
  wait_for_package_manager
  apt-get -o DPkg::Lock::Timeout=120 update -qq
  wait_for_package_manager
  # shellcheck disable=SC2086
  apt-get -o DPkg::Lock::Timeout=120 install -y -qq --no-install-recommends $missing
}

# Another package installation (an unattended upgrade, a second terminal) holds the package
# manager's locks: wait for it, at most TALVEX_APT_WAIT seconds (600), saying so once.
package_manager_busy() {
  local lock ino
  for lock in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock; do
    ino=$(stat -c %i "$lock" 2>/dev/null) || continue
    # dpkg and apt hold them as POSIX record locks: /proc/locks names the inode (MAJ:MIN:INODE).
    grep -Eq "[0-9a-f]+:[0-9a-f]+:$ino " /proc/locks 2>/dev/null && return 0
  done
  return 1
}

wait_for_package_manager() {
  local waited=0 limit=${TALVEX_APT_WAIT:-600}
  package_manager_busy || return 0
  echo "== another package installation holds the package manager's lock: waiting for it (at most ${limit} s)"
  while package_manager_busy; do
    if [ "$waited" -ge "$limit" ]; then
      echo "the package manager is still busy after ${limit} s; run again when it is done" >&2
      exit 1
    fi
    sleep 2
    waited=$((waited + 2))
  done
  echo "== the package manager is free after ${waited} s"
}

configure() { # dir, extra cmake args...
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  fi
}

build_main() {
  ensure_packages
  configure "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$BUILD" -j "$JOBS"
}

build_asan() {
  configure "$BUILD_ASAN" -DCMAKE_BUILD_TYPE=Debug -DTALVEX_GUI=OFF -DTALVEX_SANITIZE=ON -DTALVEX_BENCH=OFF
  cmake --build "$BUILD_ASAN" -j "$JOBS"
}

build_tsan() {
  configure "$BUILD_TSAN" -DCMAKE_BUILD_TYPE=Debug -DTALVEX_GUI=OFF -DTALVEX_TSAN=ON -DTALVEX_BENCH=OFF
  cmake --build "$BUILD_TSAN" -j "$JOBS"
}

run_tests() {
  export QT_QPA_PLATFORM=offscreen
  local status=0
  echo "== engine tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ctest --test-dir "$BUILD_ASAN" --output-on-failure -j "$JOBS" || status=1
  echo "== engine tests under ThreadSanitizer"
  ctest --test-dir "$BUILD_TSAN" --output-on-failure -j "$JOBS" || status=1
  echo "== all tests"
  ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" || status=1
  return $status
}

start_devserver() { # prints the web port; the server's pid goes to $ROOT/.run/devserver.pid
  local server="$BUILD/devserver/talvex-devserver"
  [ -x "$server" ] || return 1
  mkdir -p "$ROOT/.run/storage"
  rm -f "$ROOT/.run/ports" # a file left by an earlier run names ports nobody listens on now
  "$server" --root "$ROOT/.run/storage" --web-port 0 --command-port 0 --control-port 0 \
            --ports-file "$ROOT/.run/ports" >"$ROOT/.run/devserver.log" 2>&1 &
  echo $! >"$ROOT/.run/devserver.pid"
  local i
  for i in $(seq 1 50); do
    [ -s "$ROOT/.run/ports" ] && return 0
    sleep 0.1
  done
  echo "the development server did not start; see .run/devserver.log" >&2
  return 1
}

cmd=${1:-}
case "$cmd" in
  build)
    build_main
    ;;
  test)
    build_main
    build_asan
    build_tsan
    run_tests
    ;;
  run)
    build_main
    mkdir -p "$ROOT/.run"
    if start_devserver; then
      trap 'kill "$(cat "$ROOT/.run/devserver.pid")" 2>/dev/null || true' EXIT
      # shellcheck disable=SC1091
      . "$ROOT/.run/ports"
      cat "$ROOT/.run/devserver.log"
      export TALVEX_WEB_HOST="127.0.0.1:$WEB_PORT" TALVEX_CONTROL_PORT="$CONTROL_PORT" \
             TALVEX_COMMAND_PORT="$COMMAND_PORT"
    fi
    "$BUILD/app/talvex" "${@:2}"
    ;;
  bench)
    build_main
    for b in "$BUILD"/bench/*; do
      if [ -f "$b" ] && [ -x "$b" ]; then echo "== $(basename "$b")"; "$b"; fi
    done
    echo "== put of 10,000 small files"
    bench/put_small_files.sh "$BUILD"
    echo "== the CPU a small file costs, client and server, beside a local rsync"
    bench/small_files_cpu.sh "$BUILD"
    # Links at their worst need network namespaces (root) and the link emulator.
    if [ "$(id -u)" -ne 0 ]; then
      echo "== over a WAN-like path (with 1 % loss), and a link that goes dark: skipped (they need root for network namespaces)"
    elif [ ! -f "$ROOT/../shared/tools/wan_emu.py" ]; then
      echo "== over a WAN-like path (with 1 % loss), and a link that goes dark: skipped (no ../shared/tools/wan_emu.py)"
    else
      echo "== over a WAN-like path, without and with 1 % loss"
      bench/upload_wan.sh "$BUILD"
      echo "== a link that goes dark for 15 s and 30 s"
      bench/upload_outage.sh "$BUILD"
    fi
    ;;
  package)
    build_main
    (cd "$BUILD" && cpack -G DEB)
    ;;
  *)
    echo "usage: $0 {build|test|run|bench|package}" >&2
    exit 2
    ;;
esac
