#!/usr/bin/env bash
# Builds the shared object, the Java host and the sample scan writer, writes a
# sample scan and reads it back through the Java host, printing every shot.
# Extra arguments go to the host (-r -d -a -t: reflectances, deviations,
# amplitudes, echo times; -q: summary only).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target OstrandLibrary host_classes sample_scan
scan=build/sample.zpk
build/sample_scan "$scan"
# The java beside the javac that compiled the host.
java=${JAVA_HOME:+$JAVA_HOME/bin/java}
java=${java:-$(dirname "$(readlink -f "$(command -v javac)")")/java}
"$java" -Dostrand.library=build/OstrandLibrary.so -cp build/host-classes \
  fr.belcour.quillet.io.tls.zpk.ScanSummary "$@" "$scan"
