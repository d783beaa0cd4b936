#!/bin/bash
# Call load: sipp places new calls (INVITE, answer, BYE after one second) at
# rising rates against `quorvelle-cli --auto-answer --audio virtual` and
# against baresip answering by itself, one after the other in the same run,
# inside a network namespace that holds only loopback. For each user agent it
# reports the highest rate held for 30 s without one failed call, and the CPU
# that one active call costs (share of one core, averaged over the steady part
# of each step).
#
#   bench/call_load.sh [QUORVELLE_CLI]     # default build/default/src/cli/quorvelle-cli
#
# Not part of ctest. Takes about 8 to 12 minutes. Needs sipp (sip-tester) and
# baresip (baresip-core). The rates climb 50, 100, 200, 400, 800 calls per
# second until one fails, then two halving steps narrow the limit; every step
# starts the user agent afresh. Figures drift from machine to machine: compare
# the two user agents only within one run. Results go to standard output and,
# with all logs, to $QV_BENCH_DIR (default a new directory under /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

if [ -z "${QV_BENCH_NETNS:-}" ]; then
  export QV_BENCH_NETNS=1
  exec "$root/tests/interop/run_in_netns.sh" bash "$0" "$@"
fi

cli=${1:-$root/build/default/src/cli/quorvelle-cli}
[ -x "$cli" ] || { echo "no quorvelle-cli at $cli (build it first)" >&2; exit 2; }
for tool in sipp baresip python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

duration=${QV_BENCH_SECONDS:-30}  # seconds of calls at each rate
rates=${QV_BENCH_RATES:-50 100 200 400 800}
call_ms=1000                     # each call lasts this long after the answer
ua_port=5070
# The limits against floods: sipp calls from one address at hundreds of
# calls a second, so the per-address INVITE rate is off (0) and the call cap
# (MaxCalls, set by --lines) is far above what the rates keep up.
max_calls=4096
invite_rate=0
sipp_port=5080
work=${QV_BENCH_DIR:-$(mktemp -d /tmp/qv-call-load.XXXXXX)}
mkdir -p "$work"
ticks=$(getconf CLK_TCK)
ua_pid=

stop_ua() {
  if [ -n "$ua_pid" ]; then
    kill "$ua_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$ua_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$ua_pid" 2>/dev/null || true
    wait "$ua_pid" 2>/dev/null || true
    ua_pid=
  fi
}
trap stop_ua EXIT

start_ours() {
  "$cli" --server 127.0.0.1:$sipp_port --user bob --no-register --local-port $ua_port \
    --auto-answer --audio virtual --play-in tone:440 --lines $max_calls --invite-rate $invite_rate \
    --rtp-min 10000 --rtp-max 30000 \
    --exec "wait 100000" >"$1/ua.log" 2>&1 </dev/null &
  ua_pid=$!
}

start_baresip() {
  local cfg=$1/baresip
  mkdir -p "$cfg"
  cat >"$cfg/config" <<EOF
poll_method		epoll
module_path		/usr/lib/baresip/modules
call_local_timeout	120
call_max_calls		2000
audio_buffer		20-160
rtcp_mux		no
sip_listen		127.0.0.1:$ua_port
audio_source		ausine,440
ausrc_srate		48000
ausrc_channels		2
audio_player		aubridge,nil
audio_alert		aubridge,nil
rtp_ports		10000-30000
jitter_buffer_delay	5-10
module			g711.so
module			ausine.so
module			aubridge.so
module_tmp		account.so
module_app		menu.so
EOF
  echo "<sip:bob@127.0.0.1:$ua_port>;regint=0;answermode=auto;audio_codecs=PCMU" >"$cfg/accounts"
  : >"$cfg/contacts"
  baresip -4 -n 127.0.0.1 -f "$cfg" -t 600 >"$1/ua.log" 2>&1 </dev/null &
  ua_pid=$!
}

# utime + stime of the whole process, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
now_ms() { date +%s%3N; }

wait_bound() {
  local hex
  hex=$(printf '%04X' "$1")
  for _ in $(seq 100); do
    cat /proc/net/udp /proc/net/udp6 2>/dev/null | grep -q ":$hex " && return 0
    sleep 0.1
  done
  return 1
}

# run_step UA RATE: prints "RATE PASS CPU_PER_CALL_PERCENT MEAN_ACTIVE THREADS FAILED".
run_step() {
  local ua=$1 rate=$2
  local dir=$work/$ua-$rate
  mkdir -p "$dir"
  "start_$ua" "$dir"
  if ! wait_bound $ua_port; then
    echo "$ua did not open its SIP port" >&2
    stop_ua
    echo "$rate 0 nan nan 0 all"
    return
  fi
  sleep 0.5
  local calls=$((rate * duration))
  (cd "$dir" && exec sipp -sn uac -s bob -i 127.0.0.1 -p $sipp_port 127.0.0.1:$ua_port \
    -r "$rate" -m "$calls" -d $call_ms -l 20000 -recv_timeout 5000 -timeout $((duration + 70))s \
    -nostdin -trace_screen -trace_stat -stf stat.csv -fd 1 -trace_err -error_file err.log \
    >sipp.out 2>&1) &
  local sipp_pid=$!
  # The steady part: from 5 s in (calls have piled up to their level) to 2 s
  # before the last call is placed.
  sleep 5
  local t0 c0 t1 c1 threads
  t0=$(now_ms); c0=$(cpu_ticks "$ua_pid")
  sleep $((duration - 7))
  t1=$(now_ms); c1=$(cpu_ticks "$ua_pid")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$ua_pid/status")
  local code=0
  wait $sipp_pid || code=$?
  stop_ua
  python3 - "$dir/stat.csv" "$code" "$calls" "$rate" "$t0" "$t1" "$c0" "$c1" "$ticks" "$threads" <<'EOF'
import csv, sys
path, code, calls, rate, t0, t1, c0, c1, ticks, threads = sys.argv[1:]
rows = list(csv.DictReader(open(path), delimiter=';'))
last = rows[-1]
ok, failed = int(last['SuccessfulCall(C)']), int(last['FailedCall(C)'])
# Rows come once a second; the steady part is seconds 5 to duration-2.
def seconds(row):
    h, m, s = row['ElapsedTime(C)'].split(':')[:3]
    return int(h) * 3600 + int(m) * 60 + float(s)
steady = [int(r['CurrentCall']) for r in rows[:-1] if 5 <= seconds(r) <= (int(t1) - int(t0)) / 1000 + 5]
active = sum(steady) / len(steady) if steady else float('nan')
core = (int(c1) - int(c0)) / int(ticks) / ((int(t1) - int(t0)) / 1000)
per_call = 100 * core / active if active else float('nan')
passed = int(code) == 0 and failed == 0 and ok == int(calls)
print(f"{rate} {int(passed)} {per_call:.3f} {active:.0f} {threads} {failed}")
EOF
}

# climb UA: prints its step lines, then "best UA RATE".
climb() {
  local ua=$1 best=0 fail=0 line
  for rate in $rates; do
    line=$(run_step "$ua" "$rate")
    echo "step $ua $line"
    if [ "$(echo "$line" | cut -d' ' -f2)" = 1 ]; then best=$rate; else fail=$rate; break; fi
  done
  if [ "$fail" -gt 0 ]; then
    for _ in 1 2; do
      local mid=$(((best + fail) / 2))
      [ "$mid" -le "$best" ] && break
      line=$(run_step "$ua" "$mid")
      echo "step $ua $line"
      if [ "$(echo "$line" | cut -d' ' -f2)" = 1 ]; then best=$mid; else fail=$mid; fi
    done
  fi
  echo "best $ua $best"
}

echo "# call load, $duration s per rate, ${call_ms} ms calls, logs in $work"
echo "# limits of quorvelle-cli: MaxCalls=$max_calls (--lines) InviteRateLimit=$invite_rate (--invite-rate, 0 = off)"
echo "# step UA RATE PASSED CPU%_OF_A_CORE_PER_ACTIVE_CALL MEAN_ACTIVE_CALLS THREADS FAILED_CALLS"
{ climb ours; climb baresip; } | tee "$work/results.txt"
python3 - "$work/results.txt" <<'EOF'
import sys
best, steps = {}, {}
for line in open(sys.argv[1]):
    f = line.split()
    if f[0] == 'best':
        best[f[1]] = int(f[2])
    elif f[0] == 'step' and f[3] == '1':
        steps.setdefault(f[1], {})[int(f[2])] = float(f[4])
print()
for ua in ('ours', 'baresip'):
    at = steps.get(ua, {}).get(best.get(ua, 0), float('nan'))
    print(f"{ua:8} highest clean rate {best.get(ua, 0)} calls/s; CPU per active call there {at:.3f} % of a core")
common = sorted(set(steps.get('ours', {})) & set(steps.get('baresip', {})))
for rate in common:
    o, b = steps['ours'][rate], steps['baresip'][rate]
    print(f"at {rate} calls/s: CPU per active call ours {o:.3f} %, baresip {b:.3f} % (ratio {o / b:.2f})")
if best.get('baresip'):
    print(f"rate ratio ours/baresip: {best.get('ours', 0) / best['baresip']:.2f} (target >= 2)")
EOF
