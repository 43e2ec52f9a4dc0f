#!/usr/bin/env bash
# Runs every test: the normal build, the AddressSanitizer/UBSan build, and a
# short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
# JOBS holds the build and the tests to fewer parallel jobs (default: every core).
jobs=${JOBS:-$(nproc)}
if ! [[ $jobs =~ ^[1-9][0-9]*$ ]]; then
  echo "test-all.sh: JOBS must be a whole number above 0, not '$jobs'" >&2
  exit 2
fi

echo "== normal build"
# Line tables only: full debug info of the template-heavy tests costs more than the tests.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DSCANLIB_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets"
. fuzz/fuzz-lib.sh
fuzz_build "$jobs"
seconds=${FUZZ_SECONDS:-20}
for target in $(fuzz_targets); do
  name=$(basename "$target")
  # Seeds come from the tests of the normal build, where they write them.
  corpus=$(fuzz_corpus "$name")
  mapfile -t options < <(fuzz_options "$name")
  run=$seconds
  # The framing decoder takes every byte from outside: give it the longest run.
  [ "$name" = fuzz_zpk_istream ] && run=$((seconds * 3 / 2))
  echo "-- $name (${run}s)"
  log=$fuzz_build_dir/$name.log
  if ! "$target" -max_total_time="$run" -rss_limit_mb=2048 "${options[@]}" "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $name failed"
    exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$log" || true
done
echo "== all tests passed"
