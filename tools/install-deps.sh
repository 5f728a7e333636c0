#!/bin/sh
# Installs the Debian 12 packages that building, testing and the demo need.
# Safe to run again: apt-get skips what is already installed. The python3-*
# packages run the ACME oneM2M CSE of the interoperability tests, the
# libsqlite3/libwebsockets ones build the tinyIoT CSE (sqlite3 reads what it
# stored); curl talks to the CSEs' HTTP interface in the documentation's
# examples; systemd brings systemd-analyze, systemctl and systemd-sysusers for
# the package tests (no systemd is started); rabbitmq-server runs the
# 3-node broker cluster of the cluster test (its own nodes on loopback: the
# service the package starts where it can is stopped again); npm brings zig,
# the compiler of the musl build (any npm will do: a Node.js from elsewhere
# brings its own, which Debian's npm package would conflict with).
set -eu
PACKAGES="
  build-essential cmake ninja-build pkg-config git python3
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libpaho-mqtt-dev libjsoncpp-dev libcjson-dev
  mosquitto mosquitto-clients
  iproute2 net-tools binutils file
  g++-mipsel-linux-gnu qemu-user
  python3-flask python3-cbor2 python3-isodate python3-paho-mqtt python3-requests python3-rich
  libsqlite3-dev libwebsockets-dev sqlite3
  curl shellcheck systemd rabbitmq-server
"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
command -v npm >/dev/null || missing="$missing npm"
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
case " $missing " in
*" rabbitmq-server "*)
  # Where it can, the package's postinst starts a broker of its own (a node
  # and the machine's epmd on port 4369). The cluster test starts its nodes
  # and epmd on free ports of its own, so that one is stopped again.
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl stop rabbitmq-server.service ||
      echo "warning: could not stop rabbitmq-server.service" >&2
  elif $SUDO /etc/init.d/rabbitmq-server status >/dev/null 2>&1; then
    $SUDO /etc/init.d/rabbitmq-server stop ||
      echo "warning: could not stop /etc/init.d/rabbitmq-server" >&2
  fi
  # epmd outlives the node it served (it quits once no node is registered).
  if epmd -names >/dev/null 2>&1; then
    $SUDO epmd -kill >/dev/null || echo "warning: the package's epmd (port 4369) still runs" >&2
  fi
  ;;
esac
