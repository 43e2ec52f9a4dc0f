#!/usr/bin/env bash
# Builds scan_gen, then writes a large scan with it: scan-gen.sh PATH SHOTS
# [--packed]. Like run-host.sh it builds in SCANLIB_BUILD_DIR (default: build/
# in the repository) and never changes directory, so a relative PATH is
# written in the directory it was run in.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/cmake/build-dir.sh"
cmake --build "$build" --target scan_gen >&2
exec "$build/scan_gen" "$@"
