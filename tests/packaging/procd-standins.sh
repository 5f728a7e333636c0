#!/bin/sh
# Runs an OpenWrt init script's start_service and service_triggers with
# small stand-ins for what /etc/rc.common, /lib/functions.sh and
# /lib/functions/procd.sh give it on a router, and prints each procd call
# (and each logger call) it makes, one per line, every argument quoted; then
# start_service's status. UCI files are read from $UCI_CONFIG_DIR (no file:
# an empty configuration, as on a router).
#
# Usage: UCI_CONFIG_DIR=DIR sh procd-standins.sh INIT_SCRIPT
set -u
init_script=$1

show_call() {
  printf '%s' "$1"
  shift
  for argument in "$@"; do printf " '%s'" "$argument"; done
  printf '\n'
}

# ---- /lib/functions.sh: UCI files are shell, made of config/option/list ----
reset_cb() {
  config_cb() { return 0; }
  option_cb() { return 0; }
  list_cb() { return 0; }
}
reset_cb
config() {
  CONFIG_SECTION=$2
  config_cb "$1" "$2"
}
option() {
  name=$1
  shift
  eval "CONFIG_${CONFIG_SECTION}_${name}=\$*"
  option_cb "$name" "$*"
}
list() {
  name=$1
  shift
  eval "CONFIG_${CONFIG_SECTION}_${name}=\"\${CONFIG_${CONFIG_SECTION}_${name}:-} \$*\""
  list_cb "$name" "$*"
}
config_load() {
  # shellcheck disable=SC1090
  [ ! -f "$UCI_CONFIG_DIR/$1" ] || . "$UCI_CONFIG_DIR/$1"
}
# config_get VARIABLE SECTION OPTION [DEFAULT]: an empty value takes DEFAULT.
config_get() {
  eval "$1=\${CONFIG_${2}_${3}:-\${4:-}}"
}

# ---- /lib/functions/procd.sh and the tools it calls ----
procd_open_instance() { show_call procd_open_instance "$@"; }
procd_set_param() { show_call procd_set_param "$@"; }
procd_append_param() { show_call procd_append_param "$@"; }
procd_close_instance() { show_call procd_close_instance "$@"; }
procd_add_reload_trigger() { show_call procd_add_reload_trigger "$@"; }
logger() { show_call logger "$@"; }

# shellcheck disable=SC1090
. "$init_script"
start_service
echo "start_service: $?"
service_triggers
