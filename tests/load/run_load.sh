#!/bin/sh
# Load test of the user agent: sipp calls load_ua at RATE new calls per second
# for DURATION seconds; every call is answered, held HOLD_MS and ended by
# sipp's BYE; media run on the virtual sound devices. Passes when sipp counts
# no failed call, the calls, threads and descriptors of load_ua are back to
# their starting figures at the end, and its resident memory stays flat after
# the first 10 seconds (growth below GROWTH_KB). Under an ASan build, load_ua
# must instead exit without a leak report.
#
#   tests/load/run_load.sh [build dir]      (default: build/default)
#   RATE=20 DURATION=60 HOLD_MS=2000 GROWTH_KB=4096 (the defaults)
#
# It runs inside its own loopback-only network namespace and leaves the
# figures in a directory under /tmp that it names at the end.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:-$HERE/../../build/default}" && pwd)
if [ -z "${QV_IN_NETNS:-}" ]; then
  QV_IN_NETNS=1 exec "$HERE/../interop/run_in_netns.sh" "$0" "$BUILD"
fi
RATE=${RATE:-20}
DURATION=${DURATION:-60}
HOLD_MS=${HOLD_MS:-2000}
GROWTH_KB=${GROWTH_KB:-4096}
CALLS=$((RATE * DURATION))
OUT=$(mktemp -d /tmp/qv-load-XXXXXX)
UA="$BUILD/tests/load/load_ua"
command -v sipp >/dev/null || { echo "sipp is not installed (Debian package sip-tester)"; exit 1; }
[ -x "$UA" ] || { echo "$UA is not built"; exit 1; }

export QUORVELLE_AUDIO=virtual
# ASan keeps freed blocks in a quarantine of 256 MB by default, which makes a
# sanitized process grow for minutes without leaking; a small quarantine lets
# its resident memory settle within the first seconds like a plain build.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16:detect_leaks=1}"
: > "$OUT/ua.log"
"$UA" 0 0 > "$OUT/ua.log" 2> "$OUT/ua.err" &
UA_PID=$!
trap 'kill "$UA_PID" 2>/dev/null || true' EXIT
i=0
while ! grep -q '^ready' "$OUT/ua.log"; do
  i=$((i + 1)); [ $i -lt 100 ] || { echo "load_ua did not start"; cat "$OUT/ua.err"; exit 1; }
  sleep 0.1
done
READY=$(grep '^ready' "$OUT/ua.log")
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
PORT=$(field "$READY" port); PEER=$(field "$READY" peer); MEDIA=$(field "$READY" media)
sed "s/<pause milliseconds=\"2000\"\/>/<pause milliseconds=\"$HOLD_MS\"\/>/" "$HERE/sipp/uac_load.xml" > "$OUT/uac_load.xml"

set +e
sipp -sf "$OUT/uac_load.xml" "127.0.0.1:$PORT" -i 127.0.0.1 -p "$PEER" -mp "$MEDIA" -s alice \
     -r "$RATE" -m "$CALLS" -l $((RATE * 10)) -nostdin -timeout $((DURATION + 60))s \
     -trace_stat -stf "$OUT/stat.csv" -fd 5 -trace_err -error_file "$OUT/sipp.err" \
     > "$OUT/sipp.screen" 2>&1
SIPP_RC=$?
kill -TERM "$UA_PID"
wait "$UA_PID"
UA_RC=$?
set -e
trap - EXIT

# sipp's last statistics row: the cumulative counters.
column() { awk -F';' -v name="$1" 'NR==1 { for (i = 1; i <= NF; i++) if ($i == name) c = i } END { print $c }' "$OUT/stat.csv"; }
SUCCESS=$(column 'SuccessfulCall(C)')
FAILED=$(column 'FailedCall(C)')
RETRANS=$(column 'Retransmissions(C)')
MAX_CALLS=$(sed -n 's/^t=.* calls=\([0-9]*\) .*/\1/p' "$OUT/ua.log" | sort -n | tail -1)
MAX_THREADS=$(sed -n 's/^t=.* threads=\([0-9]*\) .*/\1/p' "$OUT/ua.log" | sort -n | tail -1)
MAX_FDS=$(sed -n 's/^t=.* fds=\([0-9]*\) .*/\1/p' "$OUT/ua.log" | sort -n | tail -1)
RSS10=$(sed -n 's/^t=10 .* rss_kb=\([0-9]*\)$/\1/p' "$OUT/ua.log")
RSS_MAX=$(awk '/^t=/ { split($1, t, "="); split($NF, r, "="); if (t[2] >= 10 && r[2] > m) m = r[2] } END { print m + 0 }' "$OUT/ua.log")
GROWTH=$((RSS_MAX - ${RSS10:-0}))
LEAKS=$(grep -c 'LeakSanitizer' "$OUT/ua.err" || true)

echo "calls: $SUCCESS passed, $FAILED failed, $RETRANS retransmissions (sipp exit $SIPP_RC)"
echo "load_ua at its peak: $MAX_CALLS live calls, $MAX_THREADS threads, $MAX_FDS descriptors"
echo "resident memory: ${RSS10:-?} kB at 10 s, at most $RSS_MAX kB after (growth $GROWTH kB)"
grep '^ready' "$OUT/ua.log" | sed 's/^/before: /'
grep '^final' "$OUT/ua.log"
echo "leak reports: $LEAKS; load_ua exit $UA_RC"
echo "figures kept in $OUT"

# A sanitized build's own bookkeeping (the record of every thread that ever
# ran, the stacks of allocations, the quarantine) grows with each call's media
# threads, so there the memory is reported and the leak check stands in for it.
if ldd "$UA" | grep -q 'lib[at]san'; then
  echo "sanitized build: memory growth not judged"
  GROWTH_OK=1
else
  GROWTH_OK=$([ "$GROWTH" -lt "$GROWTH_KB" ] && echo 1 || echo 0)
fi
[ "$SIPP_RC" -eq 0 ] && [ "$FAILED" = 0 ] && [ "$SUCCESS" = "$CALLS" ] && [ "$UA_RC" -eq 0 ] &&
  [ "$LEAKS" -eq 0 ] && [ "$GROWTH_OK" = 1 ] || { echo "LOAD TEST FAILED"; exit 1; }
echo "LOAD TEST PASSED"
