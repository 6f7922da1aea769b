#!/usr/bin/env bash
# The Windows advise path under Wine, measured: feedsim (100 instruments,
# stamping field 52 with its send time, updates spread over each second),
# TavroDDE.exe logged in through its dialog, and a raw-DDE-message client
# (winebenchclient) with 100 instruments x 5 advise loops. The total update
# rate rises step by step until the updates delivered fall behind those sent;
# each step runs a fresh feedsim and a fresh TavroDDE.exe, since under Wine
# one server process sends at most 65,535 advise messages with data. Beside
# each step, in the same run, a minimal DDEML server (minimalddeserver)
# driven the same way: the same client, the same rate, the same stamps.
#
# Printed per step and server: updates sent and delivered per second, advise
# messages delivered per second (under Wine one post reaches every loop on
# its item, so 100x the updates), latency p50/p99 from the stamp to the
# client, the server's CPU per delivered message and its RSS.
#
# usage: bench/wine/run-wine-bench.sh [--quick] [--exe PATH] [--build DIR] [--feedsim PATH]
#   --quick         one low-rate step of TavroDDE.exe only; checks that advise data arrive (no figures judged)
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
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; shift ;;
    --exe) EXE=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    --feedsim) FEEDSIM=$2; shift 2 ;;
    *) echo "usage: $0 [--quick] [--exe PATH] [--build DIR] [--feedsim PATH]" >&2; exit 2 ;;
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
cmake --build "$BUILD" -j2 --target TavroDDE dialogdriver winebenchclient minimalddeserver > /dev/null ||
  { say "build failed"; exit 1; }
[ -n "$EXE" ] || EXE="$BUILD/app/TavroDDE.exe"
DRIVER="$BUILD/tools/ddeclient/win32/dialogdriver.exe"
CLIENT="$BUILD/bench/wine/winebenchclient.exe"
BASELINE="$BUILD/bench/wine/minimalddeserver.exe"

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
  timeout 180 "$WINE" wineboot -i > /dev/null 2>&1 || { say "wineboot failed"; exit 1; }
  "$WINESERVER" -p
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
  wait "$client"
  c1=$(cpu_ticks "$pid")
  rss=$(rss_kb "$pid")
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
  echo "$ups" > "$TMP/ups.$label.$rate"
  echo "$messages" > "$TMP/messages.$label.$rate"
}

start_feed() {  # rate
  "$FEEDSIM" --host 127.0.0.1 --port 7000 --instruments "$INSTRUMENTS" --stamp --spread \
    --rate "$(awk -v r="$1" -v n="$INSTRUMENTS" 'BEGIN { printf "%g", r / n }')" > "$TMP/feedsim.log" 2>&1 &
  FEEDSIM_PID=$!
  wait_for_line 10 "listening on" "$TMP/feedsim.log"
}

stop_pid() { [ -n "$1" ] && { kill "$1" 2> /dev/null; wait "$1" 2> /dev/null; }; }

tavro_step() {  # rate seconds
  start_feed "$1" || { say "feedsim did not start"; return 1; }
  "$WINE" "$EXE" > "$TMP/tavro.out" 2>&1 &
  SERVER_PID=$!
  timeout 60 "$WINE" "$DRIVER" login demo demo --timeout 30 > /dev/null 2>&1
  if ! wait_for_line 20 "logged in" "$TMP/tavro.out"; then
    say "TavroDDE.exe did not log in: $(tail -2 "$TMP/tavro.out")"
    stop_pid "$SERVER_PID"; SERVER_PID=""
    stop_pid "$FEEDSIM_PID"; FEEDSIM_PID=""
    return 1
  fi
  measure "$SERVER_PID" "$2" TavroDDE "$1"
  local rc=$?
  timeout 30 "$WINE" "$DRIVER" menu-exit --timeout 15 > /dev/null 2>&1
  for _ in $(seq 1 50); do kill -0 "$SERVER_PID" 2> /dev/null || break; sleep 0.2; done
  stop_pid "$SERVER_PID"; SERVER_PID=""
  stop_pid "$FEEDSIM_PID"; FEEDSIM_PID=""
  return $rc
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
for rate in 1 2 5 10 20 40; do
  # Under Wine every update reaches all INSTRUMENTS loops on each of its items.
  seconds=$(awk -v r="$rate" -v n="$INSTRUMENTS" -v i="$ITEMS" -v b="$MESSAGE_BUDGET" \
    'BEGIN { s = b / (r * n * i) - 3; if (s > 5) s = 5; if (s < 0.5) s = 0.5; printf "%.1f", s }')
  tavro_step "$rate" "$seconds" || failed=1
  baseline_step "$rate" "$seconds" || failed=1
  behind=$(awk -v a="$(cat "$TMP/ups.TavroDDE.$rate" 2> /dev/null || echo 0)" \
    -v b="$(cat "$TMP/ups.baseline.$rate" 2> /dev/null || echo 0)" -v r="$rate" \
    'BEGIN { print (a < 0.9 * r || b < 0.9 * r) ? 1 : 0 }')
  if [ "$behind" = 1 ]; then
    say "at $rate updates/s delivery falls behind (fewer than 90% of the updates sent arrive in time)"
    break
  fi
done
exit $failed
