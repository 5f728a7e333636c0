#!/bin/sh
# The main job in one command. Installs what is missing, builds, starts a
# private mosquitto on a free loopback port, runs gatewayd in examples/ (its
# node script examples/pynodes.py) against it, shows the records as the
# platform sees them (gwctl watch), then sends a retrieve and a control
# command and shows the reply and the command reaching the node bridge.
# Ctrl-C stops everything cleanly; --seconds N stops by itself after N s.
#
# Usage: sh tools/demo.sh [--seconds N] [--interval SECONDS]
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)

RUN_SECONDS=0
INTERVAL=5
usage() { sed -n '2,10s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) RUN_SECONDS=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) RUN_SECONDS=${1#*=}; shift ;;
    --interval) INTERVAL=${2:?--interval needs a number}; shift 2 ;;
    --interval=*) INTERVAL=${1#*=}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown argument '$1'" >&2; usage >&2; exit 1 ;;
  esac
done
case "$RUN_SECONDS$INTERVAL" in *[!0-9]*|'') echo "demo.sh: numbers only" >&2; exit 1 ;; esac

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  limit=$1; shift
  end=$(( $(date +%s) + limit ))
  until "$@"; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.2
  done
}

say "Installing what is missing and building"
sh tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target gatewayd gwctl
BUILD=$ROOT/build/default
GATEWAYD=$BUILD/src/gatewayd
GWCTL=$BUILD/tools/gwctl/gwctl
MOSQUITTO=$(command -v mosquitto || echo /usr/sbin/mosquitto)

WORK=$(mktemp -d /tmp/kiv-demo.XXXXXX)
BROKER_PID="" GATEWAY_PID="" WATCH_PID=""
stop_all() {
  trap - INT TERM EXIT
  say "Stopping"
  if [ -n "$GATEWAY_PID" ] && kill -TERM "$GATEWAY_PID" 2>/dev/null; then
    # gatewayd disconnects and ends within its current sleep.
    wait "$GATEWAY_PID" 2>/dev/null && echo "gatewayd stopped (status 0)" \
      || echo "gatewayd ended with status $?"
  fi
  [ -n "$WATCH_PID" ] && kill -TERM "$WATCH_PID" 2>/dev/null && wait "$WATCH_PID" 2>/dev/null
  [ -n "$BROKER_PID" ] && kill -TERM "$BROKER_PID" 2>/dev/null && wait "$BROKER_PID" 2>/dev/null
  rm -rf "$WORK"
  echo "done"
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap stop_all EXIT

# A loopback port nobody listens on.
free_port() {
  while :; do
    port=$(shuf -i 20000-60999 -n 1)
    [ -z "$(ss -Htln "sport = :$port")" ] && { echo "$port"; return; }
  done
}
PORT=$(free_port)
URI=tcp://127.0.0.1:$PORT
DEVICE=demo-gateway

say "Starting a private mosquitto on $URI"
{
  echo "listener $PORT 127.0.0.1"
  echo "allow_anonymous true"
  echo "persistence false"
  echo "set_tcp_nodelay true"
  echo "log_dest file $WORK/mosquitto.log"
  [ "$(id -u)" -eq 0 ] && echo "user root"
} > "$WORK/mosquitto.conf"
# In a session of its own: a Ctrl-C at the terminal reaches gatewayd, which
# then still finds the broker to say "offline" to.
setsid "$MOSQUITTO" -c "$WORK/mosquitto.conf" &
BROKER_PID=$!
wait_for 10 mosquitto_pub -h 127.0.0.1 -p "$PORT" -t kiv/demo/probe -n 2>/dev/null \
  || { echo "mosquitto did not start" >&2; exit 1; }

say "Platform: gwctl watch --answer $DEVICE (each record is a contentInstance create; no oneM2M CSE runs here, so the console answers as the gateway's registrar would)"
: >"$WORK/watch.out"  # there before tail reads it
"$GWCTL" -s "$URI" --answer watch "$DEVICE" >"$WORK/watch.out" 2>&1 &
WATCH_PID=$!
tail --pid="$WATCH_PID" -n +1 -f "$WORK/watch.out" | sed -u 's/^/  [platform] /' &
wait_for 20 grep -q 'answering as' "$WORK/watch.out" || { echo "gwctl watch did not start" >&2; exit 1; }

say "Starting gatewayd in examples/ (device $DEVICE, a record every $INTERVAL s)"
sed -e "s|\"serverURI\": \"[^\"]*\"|\"serverURI\": \"$URI\"|" \
    -e "s|\"gatewayId\": \"[^\"]*\"|\"gatewayId\": \"$DEVICE\"|" \
    -e "s|\"interval\": \"[^\"]*\"|\"interval\": \"$INTERVAL\"|" examples/gw.cfg > "$WORK/gw.cfg"
echo "configuration: examples/gw.cfg with the broker, id and interval above"
: >"$WORK/gatewayd.out"; : >"$WORK/gatewayd.log"  # there before tail reads them
( cd examples && exec "$GATEWAYD" -f "$WORK/gw.cfg" </dev/null >"$WORK/gatewayd.out" 2>"$WORK/gatewayd.log" ) &
GATEWAY_PID=$!
# What the node bridge prints (each cycle's data, each control command) and
# gatewayd's log, as they come.
tail --pid="$GATEWAY_PID" -n +1 -f "$WORK/gatewayd.out" | sed -u 's/^/  [node bridge] /' &
tail --pid="$GATEWAY_PID" -n +1 -f "$WORK/gatewayd.log" | sed -u 's/^/  [gatewayd log] /' &
wait_for 60 grep -q '"m2m:cin"' "$WORK/watch.out" || { echo "no record arrived" >&2; exit 1; }

say "Platform: gwctl retrieve $DEVICE 1007 14 (device information, node)"
"$GWCTL" -s "$URI" retrieve "$DEVICE" 1007 14 | sed 's/^/  [reply] /'

say "Platform: gwctl control $DEVICE '\"on\"' 5 (a management command with two values)"
"$GWCTL" -s "$URI" -r control "$DEVICE" '"on"' 5 2>&1 | sed 's/^/  [reply] /'
if wait_for 10 grep -q '^input =5$' "$WORK/gatewayd.out"; then
  echo "the command reached the node bridge: input =\"on\", input =5 (shown above)"
else
  echo "the command did not reach the node bridge" >&2
  exit 1
fi

if [ "$RUN_SECONDS" -gt 0 ]; then
  say "Records keep arriving; stopping by itself after $RUN_SECONDS s (Ctrl-C stops sooner)"
  sleep "$RUN_SECONDS" &
  wait $! || true
else
  say "Records keep arriving every $INTERVAL s; Ctrl-C stops everything"
  wait "$GATEWAY_PID" || true
  GATEWAY_PID=""
fi
