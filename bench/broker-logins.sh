#!/bin/sh
# Counts the logins a broker refuses from one gatewayd with a wrong password
# over a span of time (default 300 s), and shows the gateway's lines.
# Usage: sh bench/refused-logins.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build/default}
seconds=${2:-300}
work=$(mktemp -d)
gateway="" broker=""
trap 'kill "$gateway" "$broker" 2>/dev/null || true; rm -rf "$work"' EXIT
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
broker=$!
sleep 1
mkdir "$work/node" && printf '#!/bin/sh\necho {}\n' > "$work/node/pynodes.py" && chmod +x "$work/node/pynodes.py"
(cd "$work/node" && exec "$OLDPWD/$build/src/gatewayd" -s "tcp://127.0.0.1:$port" -g gw-7 -u gw-7 -p wrong \
  < /dev/null 2> "$work/gateway.log") &
gateway=$!
sleep "$seconds"
echo "refusals at the broker in $seconds s: $(grep -c 'not authorised' "$work/broker.log")"
echo "gatewayd's lines:"
cat "$work/gateway.log"
