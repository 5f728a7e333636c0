#!/bin/sh
# Counts what a broker sees of gatewayd's logins over a span of time
# (default 300 s), and shows the gateways' lines:
#   refused  one gatewayd with a wrong password: the logins refused;
#   same-id  two gatewayd with one device id, each taking the connection
#            from the other: the connections made.
# Usage: sh bench/broker-logins.sh refused|same-id [BUILD_DIR] [SECONDS]
set -eu
mode=${1:?refused or same-id}
build=${2:-build/default}
seconds=${3:-300}
work=$(mktemp -d)
pids=""
trap 'kill $pids 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'gw-7:right\n' > "$work/passwords"
mosquitto_passwd -U "$work/passwords"
cat > "$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous false
password_file $work/passwords
log_dest stderr
log_type all
CONF
[ "$(id -u)" = 0 ] && echo "user root" >> "$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" 2> "$work/broker.log" &
pids="$!"
sleep 1
mkdir "$work/node" && printf '#!/bin/sh\necho {}\n' > "$work/node/pynodes.py" && chmod +x "$work/node/pynodes.py"
# start_gateway <name> <password>
start_gateway() {
  (cd "$work/node" && exec "$OLDPWD/$build/src/gatewayd" -s "tcp://127.0.0.1:$port" -g gw-7 -u gw-7 -p "$2" \
    < /dev/null 2> "$work/$1.log") &
  pids="$pids $!"
}
case $mode in
  refused) start_gateway gateway wrong ;;
  same-id) start_gateway first right; start_gateway second right ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
sleep "$seconds"
case $mode in
  refused) echo "refusals at the broker in $seconds s: $(grep -c 'not authorised' "$work/broker.log")" ;;
  same-id) echo "connections at the broker in $seconds s: $(grep -c 'New client connected' "$work/broker.log")" ;;
esac
for log in "$work"/*.log; do
  [ "$log" = "$work/broker.log" ] && continue
  echo "$(basename "$log" .log)'s lines:"
  cat "$log"
done
