#!/usr/bin/env bash
# Builds the shared object and the Java host, then reads a scan through the
# Java host, printing every shot. The scan is the one argument that is not an
# option: a path or a file:, quvo:// or quda:// URI; without one a sample
# scan is written and read. Options go to the host (-r -d -a -t:
# reflectances, deviations, amplitudes, echo times; -q: summary only).
set -euo pipefail
cd "$(dirname "$0")/.."
options=()
scan=
for arg in "$@"; do
  case "$arg" in
    -*) options+=("$arg") ;;
    *)
      if [ -n "$scan" ]; then
        echo "usage: $0 [-r] [-d] [-a] [-t] [-q] [SCAN]" >&2
        exit 2
      fi
      scan=$arg ;;
  esac
done
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ -z "$scan" ]; then
  cmake --build build --target OstrandLibrary host_classes sample_scan
  scan=build/sample.zpk
  build/sample_scan "$scan"
else
  cmake --build build --target OstrandLibrary host_classes
fi
# The java beside the javac that compiled the host.
java=${JAVA_HOME:+$JAVA_HOME/bin/java}
java=${java:-$(dirname "$(readlink -f "$(command -v javac)")")/java}
"$java" -Dostrand.library=build/OstrandLibrary.so -cp build/host-classes \
  fr.belcour.quillet.io.tls.zpk.ScanSummary ${options[@]+"${options[@]}"} "$scan"
