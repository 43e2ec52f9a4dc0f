#!/usr/bin/env bash
# Builds the shared object and the Java host, then reads a scan through the
# Java host: one line per shot on standard output, then a summary. The build's
# own output goes to standard error, so standard output can be redirected to a
# file. SCANLIB_BUILD_DIR names the build directory (default: build/ in the
# repository); the script never changes directory, so a relative scan path is
# read from the directory it was run in.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'EOF'
usage: run-host.sh [-r] [-d] [-a] [-t] [-q] [-h] [SCAN]
Builds the library and the Java host, then reads SCAN: one line per shot, then
a summary line. Without SCAN, a sample scan of 40 shots is written and read.
SCAN is one of:
  PATH                     a scan file (relative to the current directory)
  file:PATH                the same
  quvo://HOST:PORT/STREAM  a stream from a quvo server over TCP; the path and
                           ?KEY=VALUE;... items make the request sent to it
  quda://[ADDRESS:]PORT    the scan's UDP datagrams, received on that local
                           address (default 0.0.0.0) and port (default 20001)
Options (several may share one word, as -rdat):
  -r          add each echo's reflectance (dB)
  -d          add each echo's pulse-shape deviation
  -a          add each echo's amplitude
  -t          add each echo's time (s, its shot's time)
  -q          print the summary line only
  -h, --help  print this help
Exit status: 0 read to the end, 1 cannot open or read the scan or write the
output, 2 bad usage, 141 the output was closed (as by | head) and reading stopped.
EOF
}

options=()
scan=
unknown() {
  echo "run-host.sh: unknown option $1" >&2
  usage >&2
  exit 2
}
for arg in "$@"; do
  case "$arg" in
    --help) usage; exit 0 ;;
    -|--*) unknown "$arg" ;;
    -*)
      # Short options, one or several in one word (-rdat).
      letters=${arg#-}
      while [ -n "$letters" ]; do
        letter=${letters:0:1}
        letters=${letters:1}
        case "$letter" in
          h) usage; exit 0 ;;
          r|d|a|t|q) options+=("-$letter") ;;
          *) unknown "-$letter" ;;
        esac
      done ;;
    *)
      if [ -n "$scan" ]; then
        echo "run-host.sh: more than one scan given" >&2
        usage >&2
        exit 2
      fi
      scan=$arg ;;
  esac
done

. "$repo/cmake/build-dir.sh"
if [ -z "$scan" ]; then
  cmake --build "$build" --target OstrandLibrary host_classes sample_scan >&2
  scan=$build/sample.zpk
  "$build/sample_scan" "$scan" >&2
else
  cmake --build "$build" --target OstrandLibrary host_classes >&2
fi
# The java beside the javac that compiled the host.
java=${JAVA_HOME:+$JAVA_HOME/bin/java}
java=${java:-$(dirname "$(readlink -f "$(command -v javac)")")/java}
exec "$java" -Dostrand.library="$build/OstrandLibrary.so" -cp "$build/host-classes" \
  fr.belcour.quillet.io.tls.zpk.ScanSummary ${options[@]+"${options[@]}"} "$scan"
