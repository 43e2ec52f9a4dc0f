#!/usr/bin/env bash
# cmake/run-host.sh and the Java host as a user meets them: a relative scan
# path read from the user's directory, usage, standard output holding only
# shot lines and the summary, one-line errors with the summary of what was
# read, a closed output that stops the reading, a slow non-blocking reader that
# loses nothing, and cmake/scan-gen.sh.
# Usage: test_run_host.sh BUILD_DIR
# BUILD_DIR must be built (the normal build builds the shared object, the host
# classes, sample_scan and scan_gen): the run here only relinks sample_scan,
# which no other test uses.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
export SCANLIB_BUILD_DIR=$build
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
java=${JAVA_HOME:+$JAVA_HOME/bin/java}
java=${java:-$(dirname "$(readlink -f "$(command -v javac)")")/java}

failures=0
fail() {
  echo "FAIL: $*" >&2
  echo "--- stdout" >&2; head -n 20 "$tmp/out" >&2
  echo "--- stderr" >&2; head -n 20 "$tmp/err" >&2
  failures=$((failures + 1))
}
# Sets rc; standard output and error in $tmp/out and $tmp/err.
run_host() {
  rc=0
  bash "$repo/cmake/run-host.sh" "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
}
# Runs a command in a directory, in this shell (rc stays set).
at() {
  local dir=$1
  shift
  pushd "$dir" >/dev/null
  "$@"
  popd >/dev/null
}
run_summary() {
  rc=0
  "$java" -Dostrand.library="$build/OstrandLibrary.so" -cp "$build/host-classes" \
    fr.belcour.quillet.io.tls.zpk.ScanSummary "$@" >"$tmp/out" 2>"$tmp/err" || rc=$?
}
# Standard output is shot lines numbered from 0, then one summary line that
# counts them.
only_shots_and_summary() {
  local shots
  shots=$(grep -c '^shot ' "$tmp/out" || true)
  awk -v n="$shots" '
    NR <= n { if ($0 !~ "^shot " (NR - 1) " echoes=[0-9]+ time=") exit 1; next }
    NR == n + 1 { if ($0 !~ "^summary shots=" n " echoes=[0-9]+") exit 1; next }
    { exit 1 }
    END { if (NR != n + 1) exit 1 }' "$tmp/out"
}
no_stack_trace() {
  ! grep -q -E '^(Exception in thread|[[:space:]]+at |Caused by:)' "$tmp/err"
}
usage_lists_every_option() {
  local f=$1 o
  grep -q '^usage: .* \[-h\] ' "$f" || return 1
  for o in -r -d -a -t -q -h --help; do
    grep -q -E -e "^ +(-h, )?$o[ ,]" "$f" || return 1
  done
}

# A run that builds: its build output goes to standard error.
rm -f "$build/sample_scan"
at "$tmp" run_host
if [ "$rc" -ne 0 ] || ! only_shots_and_summary || ! grep -q '^summary shots=40 ' "$tmp/out" ||
   ! grep -q 'sample_scan' "$tmp/err"; then
  fail "a run that builds: standard output must hold only the 40 shot lines and the summary"
fi
sample=$tmp/out.sample
cp "$tmp/out" "$sample"

# Relative paths and relative file: URIs read from the caller's directory,
# giving what the absolute path gives.
mkdir -p "$tmp/scans/site" "$tmp/other"
cp "$build/sample.zpk" "$tmp/scans/site/site1.zpk"
run_host "$tmp/scans/site/site1.zpk"
cp "$tmp/out" "$tmp/out.absolute"
if [ "$rc" -ne 0 ] || ! cmp -s "$tmp/out.absolute" "$sample"; then
  fail "an absolute path reads the scan"
fi
for case in "scans:site/site1.zpk" "scans/site:./site1.zpk" "other:file:../scans/site/site1.zpk"; do
  dir=${case%%:*} scan=${case#*:}
  at "$tmp/$dir" run_host "$scan"
  if [ "$rc" -ne 0 ] || ! cmp -s "$tmp/out" "$tmp/out.absolute"; then
    fail "$scan from $dir/ reads the scan as its absolute path does"
  fi
done

# Usage: asked for on standard output, exit 0, nothing built or read; an
# unknown option gives it on standard error, exit 2.
for help in -h --help; do
  run_host "$help"
  if [ "$rc" -ne 0 ] || ! usage_lists_every_option "$tmp/out" || [ -s "$tmp/err" ]; then
    fail "run-host.sh $help prints the usage with every option, exit 0"
  fi
  run_summary "$help"
  if [ "$rc" -ne 0 ] || ! usage_lists_every_option "$tmp/out"; then
    fail "ScanSummary $help prints the usage with every option, exit 0"
  fi
done
run_host -x "$tmp/scans/site/site1.zpk"
if [ "$rc" -ne 2 ] || [ -s "$tmp/out" ] || ! usage_lists_every_option "$tmp/err"; then
  fail "run-host.sh -x prints the usage on standard error, exit 2"
fi
run_summary -x "$tmp/scans/site/site1.zpk"
if [ "$rc" -ne 2 ] || [ -s "$tmp/out" ] || ! usage_lists_every_option "$tmp/err"; then
  fail "ScanSummary -x prints the usage on standard error, exit 2"
fi

# Short options share one word; an unknown letter among them is bad usage.
run_host -r -d -a -t "$tmp/scans/site/site1.zpk"
cp "$tmp/out" "$tmp/out.options"
for script in run_host run_summary; do
  $script -rdat "$tmp/scans/site/site1.zpk"
  if [ "$rc" -ne 0 ] || ! cmp -s "$tmp/out" "$tmp/out.options" || ! grep -q ' times=\[' "$tmp/out"; then
    fail "$script -rdat reads as -r -d -a -t"
  fi
  $script -rx "$tmp/scans/site/site1.zpk"
  if [ "$rc" -ne 2 ] || [ -s "$tmp/out" ] || ! grep -q 'unknown option -x$' "$tmp/err"; then
    fail "$script -rx is bad usage naming -x, exit 2"
  fi
done

# A read failure: the summary of what was read, one error line naming the scan
# and the library's message without its build details, exit 1.
: >"$tmp/empty.zpk"
head -c 10 "$build/sample.zpk" >"$tmp/cut.zpk"
for scan in empty.zpk cut.zpk; do
  at "$tmp" run_host "$scan"
  if [ "$rc" -ne 1 ] || [ "$(cat "$tmp/out")" != "summary shots=0 echoes=0" ] ||
     [ "$(grep -c '^error: ' "$tmp/err")" -ne 1 ] ||
     ! grep -q -x "error: cannot read $scan: Bad preamble\." "$tmp/err" || ! no_stack_trace; then
    fail "$scan, cut inside its preamble, gives the summary, one error line and exit 1"
  fi
done
# A stream cut off after part of the scan: the shots read before still count.
coproc server {
  python3 - "$build/sample.zpk" <<'PY'
import socket, sys
data = open(sys.argv[1], 'rb').read()
part = data[:len(data) // 2]
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(1)
s.settimeout(60)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
c.makefile('rb').readline()
# One chunk of half the scan, then the connection ends without its EOF line.
c.sendall(b'FILE encoding=chunked; id=cut\n%d\n' % len(part) + part)
c.close()
s.close()
PY
}
server_pid=$server_PID
read -r port <&"${server[0]}"
run_summary "quvo://127.0.0.1:$port/stream"
wait "$server_pid" || true
shots=$(grep -c '^shot ' "$tmp/out" || true)
if [ "$rc" -ne 1 ] || ! only_shots_and_summary || [ "$shots" -lt 1 ] || [ "$shots" -ge 40 ] ||
   [ "$(wc -l <"$tmp/err")" -ne 1 ] || ! grep -q '^error: ' "$tmp/err"; then
  fail "a stream cut off gives the shots read, their summary, one error line and exit 1"
fi

# An open failure says what the host can see.
run_summary "$tmp/missing.zpk"
if [ "$rc" -ne 1 ] || [ "$(cat "$tmp/err")" != "error: cannot open $tmp/missing.zpk: the file does not exist" ]; then
  fail "a missing file is named as missing"
fi
at "$tmp" run_summary file:scans
if [ "$rc" -ne 1 ] || [ "$(cat "$tmp/err")" != "error: cannot open file:scans: it is a directory" ]; then
  fail "a directory is named as a directory"
fi
# Leading zeros still make a port, and a hyphen inside a name is no sign: the
# server is asked and does not answer.
for service in "000$port" no-such-service; do
  run_summary "quvo://127.0.0.1:$service/stream"
  if [ "$rc" -ne 1 ] ||
     [ "$(cat "$tmp/err")" != "error: cannot open quvo://127.0.0.1:$service/stream: no quvo stream from the TCP server 127.0.0.1:$service" ]; then
    fail "a quvo stream that does not open is named by its scheme and address ($service)"
  fi
done
# A port that is not one is told apart from a server that does not answer.
for scan in quvo://127.0.0.1:99999 quvo://127.0.0.1:65536/x quvo://127.0.0.1:+85617 quda://65536 quda://99999 \
            quda://0.0.0.0:-1; do
  run_summary "$scan"
  if [ "$rc" -ne 1 ] || [ "$(cat "$tmp/err")" != "error: cannot open $scan: Invalid address/service syntax." ]; then
    fail "$scan is refused as an invalid address"
  fi
done

# A reader that goes away stops the host: a stream that never ends, piped into
# head, ends by itself with the status of a tool stopped by SIGPIPE, without a
# stack trace or an error line.
coproc endless {
  python3 - "$build/sample.zpk" <<'PY'
import socket, struct, sys, time
data = open(sys.argv[1], 'rb').read()
words = struct.unpack('<%dI' % (len(data) // 4), data)
starts = [4 * i for i in range(4, len(words)) if words[i] > 0xFFFFFF00]
# The preamble, header and units, then the shot and echo packets over and
# over (never the closing packet), until the reader goes or 60 s pass.
head, shots = data[:starts[2]], data[starts[2]:starts[-1]]
s = socket.socket()
s.bind(('127.0.0.1', 0))
s.listen(1)
s.settimeout(60)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
c.settimeout(30)
c.makefile('rb').readline()
end = time.monotonic() + 60
try:
    c.sendall(b'FILE encoding=plain; id=endless\n' + head)
    while time.monotonic() < end:
        c.sendall(shots)
except OSError:
    pass
c.close()
s.close()
PY
}
endless_pid=$endless_PID
read -r port <&"${endless[0]}"
set +e
timeout 20 bash "$repo/cmake/run-host.sh" "quvo://127.0.0.1:$port/stream" 2>"$tmp/err" | head -n 3 >"$tmp/out"
statuses=("${PIPESTATUS[@]}")
set -e
wait "$endless_pid" || true
if [ "${statuses[0]}" -ne 141 ] || [ "$(grep -c '^shot ' "$tmp/out")" -ne 3 ] || ! no_stack_trace ||
   grep -q '^error' "$tmp/err"; then
  fail "a stream that never ends, piped into head, stops with status 141 (was ${statuses[0]})"
fi
# A reader that made the pipe non-blocking and reads late gets every line: the
# host waits while the pipe is full instead of taking it for a closed one.
"$build/scan_gen" "$tmp/s3000.zpk" 3000 >/dev/null
run_summary "$tmp/s3000.zpk"
cp "$tmp/out" "$tmp/out.s3000"
rc=0
python3 - bash "$repo/cmake/run-host.sh" "$tmp/s3000.zpk" >"$tmp/out" 2>"$tmp/err" <<'PY' || rc=$?
import os, subprocess, sys, time
r, w = os.pipe2(os.O_NONBLOCK)
child = subprocess.Popen(sys.argv[1:], stdout=w)
os.close(w)
time.sleep(3)
while True:
    try:
        data = os.read(r, 1 << 16)
    except BlockingIOError:
        time.sleep(0.01)
        continue
    if not data:
        break
    sys.stdout.buffer.write(data)
sys.exit(child.wait())
PY
if [ "$rc" -ne 0 ] || [ "$(grep -c '^shot ' "$tmp/out")" -ne 3000 ] || ! cmp -s "$tmp/out" "$tmp/out.s3000"; then
  fail "a non-blocking pipe read 3 s late gets all 3000 shot lines and the summary, exit 0 (was $rc)"
fi
# An output that fails otherwise (a full disk) is an error, not a success.
if [ -w /dev/full ]; then
  for args in "$build/sample.zpk" --help; do
    rc=0
    "$java" -Dostrand.library="$build/OstrandLibrary.so" -cp "$build/host-classes" \
      fr.belcour.quillet.io.tls.zpk.ScanSummary $args >/dev/full 2>"$tmp/err" || rc=$?
    : >"$tmp/out"
    if [ "$rc" -ne 1 ] || [ "$(wc -l <"$tmp/err")" -ne 1 ] || ! grep -q '^error: cannot write the output: ' "$tmp/err"; then
      fail "a full output gives one error line and exit 1 ($args)"
    fi
  done
else
  echo "note: no /dev/full, the full output is not checked" >&2
fi

# scan-gen.sh from another directory writes a relative path there; the host
# counts the shots it says it wrote.
rc=0
at "$tmp/other" bash "$repo/cmake/scan-gen.sh" gen.zpk 1000 --packed >"$tmp/gen" 2>"$tmp/err" || rc=$?
read -r _ gen_shots _ gen_echoes _ <"$tmp/gen" || true
run_summary -q "$tmp/other/gen.zpk"
if [ "$rc" -ne 0 ] || [ "${gen_shots:-}" != 1000 ] ||
   [ "$(cut -d' ' -f1-3 "$tmp/out")" != "summary shots=1000 echoes=$gen_echoes" ]; then
  fail "scan-gen.sh writes a relative path in the caller's directory, read back whole"
fi

# Plain and packed, scan-gen.sh writes the same shots; a count that is not a
# number is bad usage.
at "$tmp/other" bash "$repo/cmake/scan-gen.sh" plain.zpk 1000 >/dev/null 2>&1
run_summary -r -d -a -t "$tmp/other/plain.zpk"
cp "$tmp/out" "$tmp/out.plain"
plain_rc=$rc
run_summary -r -d -a -t "$tmp/other/gen.zpk"
if [ "$plain_rc" -ne 0 ] || [ "$rc" -ne 0 ] || ! grep -q '^summary shots=1000 ' "$tmp/out" ||
   ! cmp -s "$tmp/out" "$tmp/out.plain"; then
  fail "scan-gen.sh writes the same shots plain and packed"
fi
rc=0
(cd "$tmp/other" && bash "$repo/cmake/scan-gen.sh" tiny.zpk abc) >"$tmp/out" 2>"$tmp/err" || rc=$?
if [ "$rc" -ne 2 ] || [ -e "$tmp/other/tiny.zpk" ] || ! grep -q '^usage: scan_gen ' "$tmp/err"; then
  fail "scan-gen.sh tiny.zpk abc is bad usage, exit 2, nothing written"
fi

# An override beside the scan whose header replacement does not read fails
# the read before any shot: no shot line from the header it was to replace,
# its error, exit 1.
cat >"$tmp/other/gen.pxp" <<'EOF'
{"packets":[{"existing_packet_identification":{"ID":[1,0],"contentID":[]},
             "new_packet":{"ID":[1,0],"content":["a"]}}]}
EOF
run_host "$tmp/other/gen.zpk"
if [ "$rc" -ne 1 ] || [ "$(cat "$tmp/out")" != "summary shots=0 echoes=0" ] ||
   [ "$(grep -c '^error: ' "$tmp/err")" -ne 1 ] || ! grep -qxF "error: cannot read $tmp/other/gen.zpk: Missing data for sequence." "$tmp/err" ||
   ! no_stack_trace; then
  fail "a failing override gives no shot line, its error and exit 1"
fi

[ "$failures" -eq 0 ] || exit 1
echo "run-host: all checks passed"
