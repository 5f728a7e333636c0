#!/bin/sh
# The procd init script, run with procd stand-ins (procd-standins.sh): for
# each UCI configuration, the exact calls it makes to procd.
#
# Usage: sh procd_init_test.sh SOURCE_DIR CASE
#   shipped     the UCI file as packaged
#   empty       no UCI file at all
#   customised  every option set, paths with blanks
#   unknown     a mistyped option: one log line, no instance
set -u
source_dir=$1
case_name=$2
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/uci"

default_instance="procd_open_instance
procd_set_param 'command' '/usr/libexec/gatewayd-launch' '/opt/kiv' '/usr/bin/gatewayd' '-f' '/opt/kiv/gw.cfg'
procd_set_param 'env' 'STATE_DIRECTORY=/opt/kiv/state'
procd_set_param 'respawn' '3600' '5' '5'
procd_set_param 'term_timeout' '10'
procd_set_param 'stdout' '1'
procd_set_param 'stderr' '1'
procd_set_param 'file' '/opt/kiv/gw.cfg'
procd_close_instance
start_service: 0
procd_add_reload_trigger 'gatewayd'"

case "$case_name" in
  shipped)
    cp "$source_dir/packaging/openwrt/gatewayd.config" "$work/uci/gatewayd"
    expected=$(printf '%s\n' "$default_instance" | sed "s|^procd_set_param 'respawn'|procd_append_param 'env' 'KIV_ALLOWED_ORIGINATORS=gwctl-*'\n&|")
    ;;
  empty)
    expected=$default_instance
    ;;
  customised)
    cat > "$work/uci/gatewayd" <<'UCI'
config gatewayd 'main'
	option config_file '/srv/gate way/site.json'
	option node_dir '/srv/gate way/nodes'
	option tls_cafile '/etc/kiv/tls/ca.pem'
	option tls_certfile '/etc/kiv/tls/client.pem'
	option tls_keyfile '/etc/kiv/tls/client.key'
	option platform_id 'id-site-7'
	option platform_cse_name 'cse-site'
	option record_queue_records '200'
	option record_queue_bytes '65536'
	option allowed_originators 'gwctl-* ops-*'
	option records_placement 'ae'
	option state_dir '/var/lib/gatewayd'
	option max_request_bytes '131072'
	option read_while_offline '1'
	option point_of_access 'mqtt://broker.site:1883'
	option keepalive '20'
UCI
    expected="procd_open_instance
procd_set_param 'command' '/usr/libexec/gatewayd-launch' '/srv/gate way/nodes' '/usr/bin/gatewayd' '-f' '/srv/gate way/site.json'
procd_set_param 'env' 'STATE_DIRECTORY=/var/lib/gatewayd'
procd_append_param 'env' 'KIV_TLS_CAFILE=/etc/kiv/tls/ca.pem'
procd_append_param 'env' 'KIV_TLS_CERTFILE=/etc/kiv/tls/client.pem'
procd_append_param 'env' 'KIV_TLS_KEYFILE=/etc/kiv/tls/client.key'
procd_append_param 'env' 'KIV_PLATFORM_ID=id-site-7'
procd_append_param 'env' 'KIV_PLATFORM_CSE_NAME=cse-site'
procd_append_param 'env' 'KIV_RECORD_QUEUE_RECORDS=200'
procd_append_param 'env' 'KIV_RECORD_QUEUE_BYTES=65536'
procd_append_param 'env' 'KIV_ALLOWED_ORIGINATORS=gwctl-* ops-*'
procd_append_param 'env' 'KIV_MAX_REQUEST_BYTES=131072'
procd_append_param 'env' 'KIV_READ_WHILE_OFFLINE=1'
procd_append_param 'env' 'KIV_RECORDS_PLACEMENT=ae'
procd_append_param 'env' 'KIV_POINT_OF_ACCESS=mqtt://broker.site:1883'
procd_append_param 'env' 'KIV_KEEPALIVE_SECONDS=20'
procd_set_param 'respawn' '3600' '5' '5'
procd_set_param 'term_timeout' '10'
procd_set_param 'stdout' '1'
procd_set_param 'stderr' '1'
procd_set_param 'file' '/srv/gate way/site.json'
procd_close_instance
start_service: 0
procd_add_reload_trigger 'gatewayd'"
    ;;
  unknown)
    cat > "$work/uci/gatewayd" <<'UCI'
config gatewayd 'main'
	option tls_cafle '/etc/kiv/tls/ca.pem'
UCI
    expected="logger '-s' '-t' 'gatewayd' '-p' 'daemon.err' 'unknown option(s) tls_cafle in /etc/config/gatewayd; known: config_file node_dir tls_cafile tls_certfile tls_keyfile platform_id platform_cse_name record_queue_records record_queue_bytes allowed_originators max_request_bytes records_placement state_dir read_while_offline point_of_access keepalive'
start_service: 1
procd_add_reload_trigger 'gatewayd'"
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

actual=$(UCI_CONFIG_DIR="$work/uci" sh "$here/procd-standins.sh" \
  "$source_dir/packaging/openwrt/gatewayd.init" 2>&1)
if [ "$actual" != "$expected" ]; then
  printf 'procd calls differ for the %s configuration\n--- expected\n%s\n--- actual\n%s\n' \
    "$case_name" "$expected" "$actual" >&2
  exit 1
fi
echo "ok: $case_name"
