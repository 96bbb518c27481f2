#!/usr/bin/env bash
# Builds the fuzzers with clang (AddressSanitizer and UndefinedBehaviorSanitizer on) and runs
# each for a while. Crashes are left as crash-* files in build-fuzz/findings/<fuzzer>/.
#   tests/fuzz/run.sh [SECONDS_PER_FUZZER] [FUZZER...]
set -euo pipefail
cd "$(dirname "$0")/../.."
SECONDS_EACH=${1:-60}
shift || true
BUILD=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_GUI=OFF \
  -DTALVEX_BENCH=OFF -DTALVEX_SANITIZE=ON -DTALVEX_FUZZ=ON >/dev/null
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tlxsp_answer listing_notices xml_document account_book webcheck_answer profile devserver_request journal)
cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$BUILD/findings/$t" "$BUILD/corpus/$t"
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  if ! "$BUILD/tests/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=10 \
       -artifact_prefix="$BUILD/findings/$t/" "$BUILD/corpus/$t" 2>"$BUILD/findings/$t.log"; then
    echo "   found a problem: see $BUILD/findings/$t.log"; status=1
  else
    tail -n 1 "$BUILD/findings/$t.log"
  fi
done
exit $status
