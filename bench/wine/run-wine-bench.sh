#!/usr/bin/env bash
# The Windows advise path under Wine, measured: feedsim (100 instruments,
# stamping field 52 with its send time, updates spread over each second),
# TavroDDE.exe logged in through its dialog, and a raw-DDE-message client
# (winebenchclient) with 100 instruments x 5 advise loops. The total update
# rate rises step by step (1 to 2,000 updates/s) until the updates delivered
# fall behind those sent; each step runs a fresh feedsim and a fresh
# TavroDDE.exe, since under Wine one server process sends at most 65,535
# advise messages with data. Beside each step, in the same run, a minimal
# DDEML server (minimalddeserver) driven the same way: the same client, the
# same rate, the same stamps; each server's search ends at its own limit.
#
# Printed per step and server: updates sent and delivered per second, advise
# messages delivered per second (under Wine one post reaches every loop on
# its item: the baseline sends 100x the updates, TavroDDE only the changed
# values), latency p50/p99 from the stamp to the client, the server's CPU per
# delivered message and its RSS.
#
# --rtd measures the RTD door instead: RefreshData of 1,000 changed topics
# across processes (rtdclient bench), and TavroDDE.exe's CPU per refreshed
# topic beside its CPU per DDE advise message at 10 updates/s in the same run.
#
# usage: bench/wine/run-wine-bench.sh [--quick | --rtd] [--exe PATH] [--build DIR] [--feedsim PATH]
#   --quick         one low-rate step of TavroDDE.exe only; checks that advise data arrive (no figures judged)
#   --rtd           the RTD figures above (about 2 minutes)
#   --exe PATH      the TavroDDE.exe to measure (default: the build's app/TavroDDE.exe)
#   --build DIR     the mingw build with the bench and driver programs (default build/mingw, built)
#   --feedsim PATH  the POSIX feedsim (default build/dev/tools/feedsim/feedsim)
# With WINEPREFIX and DISPLAY set and TAVRO_WINE_READY=1 (as the Wine suite does) it uses that
# prefix and display; otherwise it makes a fresh prefix under Xvfb and removes it afterwards.
# Needs 127.0.0.1:7000 free (run it in its own network namespace: unshare -n).
# Exit status: 0 when every step measured (the quick form: updates arrived), 1 otherwise.

set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/build/mingw"
FEEDSIM="$ROOT/build/dev/tools/feedsim/feedsim"
EXE=""
QUICK=0
RTD=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; shift ;;
    --rtd) RTD=1; shift ;;
    --exe) EXE=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    --feedsim) FEEDSIM=$2; shift 2 ;;
    *) echo "usage: $0 [--quick | --rtd] [--exe PATH] [--build DIR] [--feedsim PATH]" >&2; exit 2 ;;
  esac
done

say() { echo "winebench: $*"; }
WINE=/usr/lib/wine/wine64
[ -x "$WINE" ] || WINE=$(command -v wine64)
WINESERVER="$(dirname "$WINE")/wineserver"
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  (cd "$ROOT" && cmake --preset mingw -B "$BUILD" > /dev/null) || { say "cannot configure $BUILD"; exit 1; }
fi
cmake --build "$BUILD" -j2 --target TavroDDE dialogdriver winebenchclient minimalddeserver rtdclient > /dev/null ||
  { say "build failed"; exit 1; }
[ -n "$EXE" ] || EXE="$BUILD/app/TavroDDE.exe"
DRIVER="$BUILD/tools/ddeclient/win32/dialogdriver.exe"
CLIENT="$BUILD/bench/wine/winebenchclient.exe"
BASELINE="$BUILD/bench/wine/minimalddeserver.exe"
RTD_CLIENT="$BUILD/tests/win32/rtdclient.exe"

TMP=$(mktemp -d /tmp/tavro-winebench.XXXXXX)
XVFB_PID=""
FEEDSIM_PID=""
SERVER_PID=""
OWN_PREFIX=0
cleanup() {
  for pid in $SERVER_PID $FEEDSIM_PID; do kill "$pid" 2> /dev/null; done
  if [ "$OWN_PREFIX" = 1 ]; then
    "$WINESERVER" -k > /dev/null 2>&1
    timeout 20 "$WINESERVER" -w > /dev/null 2>&1
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2> /dev/null
  fi
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "${TAVRO_WINE_READY:-0}" != 1 ]; then
  OWN_PREFIX=1
  export WINEPREFIX="$TMP/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  for n in $(seq 150 200); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then DISPLAY_NUM=$n; break; fi
  done
  Xvfb ":$DISPLAY_NUM" -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$DISPLAY_NUM"
  for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$DISPLAY_NUM" ] && break; sleep 0.1; done
  # Booted twice: Wine 8.0's first boot leaves two services.exe, and then no service starts.
  { timeout 180 "$WINE" wineboot -i && "$WINESERVER" -k && timeout 60 "$WINESERVER" -w &&
    "$WINESERVER" -p && timeout 120 "$WINE" wineboot; } > /dev/null 2>&1 || { say "wineboot failed"; exit 1; }
fi

wait_for_line() {  # seconds pattern file
  local end=$(( $(date +%s) + $1 ))
  while [ "$(date +%s)" -le "$end" ]; do
    grep -q -- "$2" "$3" 2> /dev/null && return 0
    sleep 0.1
  done
  return 1
}
# User plus system CPU of a process, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2> /dev/null || echo 0; }
rss_kb() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2> /dev/null; }
TICK_US=$(( 1000000 / $(getconf CLK_TCK) ))

INSTRUMENTS=100
ITEMS=5
# Messages a server process may send in one step (up to 3 s of set-up and
# settling included), kept under Wine's 65,535.
MESSAGE_BUDGET=50000

# Runs the client against the server process $1 for $2 seconds; prints one result line.
measure() {  # pid seconds label rate
  local pid=$1 seconds=$2 label=$3 rate=$4 out="$TMP/client.$3.$4"
  timeout $(( ${seconds%.*} + 90 )) "$WINE" "$CLIENT" lse_s "$INSTRUMENTS" "$seconds" > "$out" 2>&1 &
  local client=$!
  if ! wait_for_line 90 "^measuring" "$out"; then
    kill "$client" 2> /dev/null
    printf '%-10s %7s  no measurement: %s\n' "$label" "$rate" "$(tr -d '\r' < "$out" | head -2 | tr '\n' ' ')"
    return 1
  fi
  local c0 c1 rss
  c0=$(cpu_ticks "$pid")
  wait_for_line $(( ${seconds%.*} + 60 )) "^window over" "$out"
  c1=$(cpu_ticks "$pid")
  rss=$(rss_kb "$pid")
  # TavroDDE's feed pauses, so that the client can ask each loop's last value.
  [ "$label" = TavroDDE ] && kill -STOP "$FEEDSIM_PID" 2> /dev/null
  wait "$client"
  [ "$label" = TavroDDE ] && kill -CONT "$FEEDSIM_PID" 2> /dev/null
  local r
  r=$(tr -d '\r' < "$out" | sed -n 's/^result: //p')
  if [ -z "$r" ]; then
    printf '%-10s %7s  no result: %s\n' "$label" "$rate" "$(tr -d '\r' < "$out" | tail -2 | tr '\n' ' ')"
    return 1
  fi
  set -- $r
  # seconds S messages M updates U messages_per_s MPS updates_per_s UPS p50_us A p99_us B
  local messages=$4 ups=${10} mps=$8 p50=${12} p99=${14}
  local cpu_us=$(( (c1 - c0) * TICK_US ))
  local per_msg="-"
  [ "$messages" -gt 0 ] && per_msg=$(awk -v c="$cpu_us" -v m="$messages" 'BEGIN { printf "%.1f", c / m }')
  printf '%-10s %7s %9s %10s %9s %9s %8s %7s\n' "$label" "$rate" "$ups" "$mps" "$p50" "$p99" "$per_msg" "${rss:-?}"
  if [ "$messages" -eq 0 ]; then
    say "  $label at $rate: no data in the window; client: $(tr -d '\r' < "$out" | head -1)"
    [ "$label" = TavroDDE ] && say "  TavroDDE.exe log: $(grep -c XTYP_CONNECT_CONFIRM "$TMP/tavro.out") conversations," \
      "$(grep -c XTYP_ADVSTART "$TMP/tavro.out") advise starts; last: $(tail -1 "$TMP/tavro.out")"
  fi
  if [ "$label" = TavroDDE ]; then
    say "  TavroDDE at $rate/s: $(tr -d '\r' < "$out" | sed -n 's/^ready: //p'); feed paused:" \
      "$(tr -d '\r' < "$out" | sed -n 's/^last values: //p');" \
      "posts the DDE library refused: $(grep -c 'DdePostAdvise .* failed' "$TMP/tavro.out")" \
      "$(grep -m1 'DdePostAdvise .* failed' "$TMP/tavro.out" | tr -d '\r' | sed 's/.*| ERR - /(/; s/$/)/')"
  fi
  echo "$ups" > "$TMP/ups.$label.$rate"
  echo "$messages" > "$TMP/messages.$label.$rate"
}

start_feed() {  # rate [instruments]
  local n=${2:-$INSTRUMENTS}
  "$FEEDSIM" --host 127.0.0.1 --port 7000 --instruments "$n" --stamp --spread \
    --rate "$(awk -v r="$1" -v n="$n" 'BEGIN { printf "%g", r / n }')" > "$TMP/feedsim.log" 2>&1 &
  FEEDSIM_PID=$!
  wait_for_line 10 "listening on" "$TMP/feedsim.log"
}

stop_pid() { [ -n "$1" ] && { kill "$1" 2> /dev/null; wait "$1" 2> /dev/null; }; }

start_tavro() {  # rate [instruments]: a fresh feed and TavroDDE.exe, signed in
  start_feed "$@" || { say "feedsim did not start"; return 1; }
  "$WINE" "$EXE" > "$TMP/tavro.out" 2>&1 &
  SERVER_PID=$!
  timeout 60 "$WINE" "$DRIVER" login demo demo --timeout 30 > /dev/null 2>&1
  wait_for_line 20 "logged in" "$TMP/tavro.out" && return 0
  say "TavroDDE.exe did not log in: $(tail -2 "$TMP/tavro.out")"
  stop_tavro
  return 1
}

stop_tavro() {
  timeout 30 "$WINE" "$DRIVER" menu-exit --timeout 15 > /dev/null 2>&1
  for _ in $(seq 1 50); do kill -0 "$SERVER_PID" 2> /dev/null || break; sleep 0.2; done
  stop_pid "$SERVER_PID"; SERVER_PID=""
  stop_pid "$FEEDSIM_PID"; FEEDSIM_PID=""
}

tavro_step() {  # rate seconds
  start_tavro "$1" || return 1
  measure "$SERVER_PID" "$2" TavroDDE "$1"
  local rc=$?
  stop_tavro
  return $rc
}

# TavroDDE.exe's CPU per second of wall time (us/s) between the client's lines
# "$2: start" and "$2: end" in file $3.
cpu_between() {  # pid label file
  wait_for_line 180 "^rtd: $2: start" "$3" || return 1
  local c0 c1 t0 t1
  c0=$(cpu_ticks "$1")
  t0=$(date +%s%N)
  wait_for_line 180 "^rtd: $2: end" "$3" || return 1
  c1=$(cpu_ticks "$1")
  t1=$(date +%s%N)
  awk -v c=$(( (c1 - c0) * TICK_US )) -v t=$(( (t1 - t0) / 1000 )) 'BEGIN { printf "%.0f", c / (t / 1e6) }'
}
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
ms() { local v out=""; for v in "$@"; do out="$out${out:+ }$(( v / 1000 ))"; done; echo "$out"; }

RTD_TOPICS=1000
RTD_WINDOW=10
rtd_step() {
  # Every instrument updates once in 2 s with a new stamp in TIME, so each
  # refresh, 2 s apart as a spreadsheet's by default, finds every TIME topic changed.
  start_tavro $(( RTD_TOPICS / 2 )) "$RTD_TOPICS" || return 1
  local out="$TMP/rtd-bench.out"
  timeout 30 "$WINE" "$RTD_CLIENT" register "$("$WINE" winepath -w "$EXE" 2> /dev/null | tr -d '\r')" > /dev/null
  timeout 600 "$WINE" "$RTD_CLIENT" bench lse_s "$RTD_TOPICS" "$RTD_WINDOW" > "$out" 2>&1 &
  local client=$!
  local idle=() quiet=() busy=() round
  for round in 1 2 3; do
    idle+=("$(cpu_between "$SERVER_PID" "idle $round" "$out")")
    quiet+=("$(cpu_between "$SERVER_PID" "unrefreshed $round" "$out")")
    busy+=("$(cpu_between "$SERVER_PID" "refresh $round" "$out")")
  done
  wait "$client"
  local rc=$?
  timeout 30 "$WINE" "$RTD_CLIENT" unregister > /dev/null
  stop_tavro
  local r
  r=$(tr -d '\r' < "$out" | sed -n 's/^result: //p')
  if [ $rc -ne 0 ] || [ -z "$r" ] || [ "${#busy[@]}" -ne 3 ] || [ -z "${busy[2]}" ]; then
    say "RTD: no measurement: $(tr -d '\r' < "$out" | tail -3 | tr '\n' ' ')"
    return 1
  fi
  set -- $r
  # refreshes K values V median_topics T median_us U median_bytes B window_ms W
  local refreshes=$2 values=$4 topics=$6 us=$8 bytes=${10} window_ms=${12}
  local per_s idle_us quiet_us busy_us
  per_s=$(awk -v v="$values" -v w="$window_ms" 'BEGIN { printf "%.0f", v / (w / 1000) }')
  idle_us=$(median3 "${idle[@]}")
  quiet_us=$(median3 "${quiet[@]}")
  busy_us=$(median3 "${busy[@]}")
  say "RTD: $RTD_TOPICS topics on $RTD_TOPICS instruments, feed $(( RTD_TOPICS / 2 )) updates/s, a refresh every 2 s"
  say "RTD: RefreshData across processes: median $us us for $topics changed topics" \
    "($(awk -v u="$us" -v t="$topics" 'BEGIN { printf "%.2f", u / t }') us a topic), $bytes bytes of array; $refreshes refreshes"
  say "RTD: TavroDDE.exe CPU in 3 rounds of ${RTD_WINDOW} s windows (ms/s): idle $(ms "${idle[@]}")," \
    "TIME unrefreshed $(ms "${quiet[@]}"), TIME refreshed $(ms "${busy[@]}") ($per_s values/s)"
  # The RTD's own work is the difference between the windows; the spread of
  # equal windows across rounds says how small a difference they resolve.
  local spread
  spread=$(printf '%s\n' "${idle[@]}" | sort -n | sed -n '1p;$p' | tr '\n' ' ')
  say "RTD: per refreshed topic value (medians of the windows): update path" \
    "$(awk -v q="$quiet_us" -v i="$idle_us" -v v="$per_s" 'BEGIN { printf "%.1f", (q - i) / v }') us," \
    "refresh $(awk -v b="$busy_us" -v q="$quiet_us" -v v="$per_s" 'BEGIN { printf "%.1f", (b - q) / v }') us," \
    "$(awk -v b="$busy_us" -v v="$per_s" 'BEGIN { printf "%.1f", b / v }') us in all (the feed's cost included);" \
    "the idle windows alone differ by up to $(echo "$spread" | awk -v v="$per_s" '{ printf "%.1f", ($2 - $1) / v }') us a value"
}

baseline_step() {  # rate seconds
  "$WINE" "$BASELINE" "$1" $(( ${2%.*} + 120 )) $(( INSTRUMENTS * ITEMS )) > "$TMP/baseline.out" 2>&1 &
  SERVER_PID=$!
  wait_for_line 20 "ready" "$TMP/baseline.out" || { say "minimalddeserver did not start"; return 1; }
  measure "$SERVER_PID" "$2" baseline "$1"
  local rc=$?
  stop_pid "$SERVER_PID"; SERVER_PID=""
  return $rc
}

header() {
  printf '%-10s %7s %9s %10s %9s %9s %8s %7s\n' server "sent/s" "deliv/s" "msgs/s" "p50 us" "p99 us" "us/msg" "RSS kB"
}

if [ "$RTD" = 1 ]; then
  say "DDE beside it: $INSTRUMENTS instruments x $ITEMS loops at 10 updates/s"
  header
  tavro_step 10 4 || exit 1
  rtd_step || exit 1
  exit 0
fi

if [ "$QUICK" = 1 ]; then
  say "quick: $INSTRUMENTS instruments x $ITEMS loops, 5 updates/s, 3 s"
  header
  if tavro_step 5 3 && [ "$(cat "$TMP/messages.TavroDDE.5" 2> /dev/null || echo 0)" -gt 0 ]; then
    say "quick: updates arrived"
    exit 0
  fi
  say "quick: no updates arrived"
  exit 1
fi

say "$INSTRUMENTS instruments x $ITEMS loops over raw DDE messages; each step a fresh server process"
say "sent/s: updates sent; deliv/s: updates delivered (new stamps); msgs/s: advise messages delivered"
header
failed=0
# Each server's search goes on until its own delivery falls behind. A step's
# window keeps its server under Wine's 65,535 advise messages: it is sized by
# the messages per update of that server's previous step (at first Wine's
# worst case, every update reaching all INSTRUMENTS loops on each item).
window() {  # rate messages-per-update
  awk -v r="$1" -v m="$2" -v b="$MESSAGE_BUDGET" \
    'BEGIN { s = b / (r * m) - 3; if (s > 5) s = 5; if (s < 0.5) s = 0.5; printf "%.1f", s }'
}
# Messages per delivered update in the step just measured (at least 1).
per_update() {  # label rate seconds
  awk -v m="$(cat "$TMP/messages.$1.$2" 2> /dev/null || echo 0)" -v u="$(cat "$TMP/ups.$1.$2" 2> /dev/null || echo 0)" \
    -v s="$3" 'BEGIN { p = (u > 0) ? m / (u * s) : 0; printf "%.1f", (p < 1) ? 1 : p }'
}
behind() { awk -v a="$(cat "$TMP/ups.$1.$2" 2> /dev/null || echo 0)" -v r="$2" 'BEGIN { exit !(a < 0.9 * r) }'; }
declare -A searching=([TavroDDE]=1 [baseline]=1) mpu=([TavroDDE]=$(( INSTRUMENTS * ITEMS )) [baseline]=$(( INSTRUMENTS * ITEMS )))
for rate in 1 2 5 10 20 40 100 200 400 1000 2000; do
  for label in TavroDDE baseline; do
    [ "${searching[$label]}" = 1 ] || continue
    seconds=$(window "$rate" "${mpu[$label]}")
    if [ "$label" = TavroDDE ]; then tavro_step "$rate" "$seconds" || failed=1; else baseline_step "$rate" "$seconds" || failed=1; fi
    if behind "$label" "$rate"; then
      say "$label: at $rate updates/s delivery falls behind (fewer than 90% of the updates sent arrive in time)"
      searching[$label]=0
    else
      mpu[$label]=$(per_update "$label" "$rate" "$seconds")
    fi
  done
  [ "${searching[TavroDDE]}" = 1 ] || [ "${searching[baseline]}" = 1 ] || break
done
exit $failed
