#!/bin/sh
# Users, permissions and the session policy of the kiv recipe, run once
# against any node of the cluster (they are cluster-wide):
#   kiv-setup.sh cluster PLATFORM_PASSWORD CONSOLE_PASSWORD
#   kiv-setup.sh gateway DEVICE_ID PASSWORD      (one per gateway)
# RABBITMQCTL names the command and its options, for instance
# "rabbitmqctl -n rabbit@node1" (default: rabbitmqctl).
#
# RabbitMQ carries an MQTT topic as a routing key with "/" turned into "."
# (and "." into "/"), so the patterns below are written on routing keys:
# /oneM2M/req/D/id-in/json is .oneM2M.req.D.id-in.json. A subscription's
# "+" is checked as "*", its "#" as "#". RabbitMQ cannot limit what a user
# reads by the topic of each message as mosquitto's ACL can: a read
# permission checks the subscription's filter once, when it is made.
set -eu
CTL=${RABBITMQCTL:-rabbitmqctl}
PLATFORM=${KIV_PLATFORM_ID:-id-in}

# Set a user (again, with a new password) with no configure or AMQP write
# rights beyond its own MQTT session queues, and its topic rights.
set_user() {
  user=$1 password=$2 write=$3 read=$4
  $CTL -q delete_user "$user" >/dev/null 2>&1 || true
  $CTL -q add_user "$user" "$password"
  $CTL -q set_permissions -p / "$user" '^mqtt-subscription-' '^(amq\.topic|mqtt-subscription-.*)$' '^(amq\.topic|mqtt-subscription-.*)$'
  $CTL -q set_topic_permissions -p / "$user" amq.topic "$write" "$read"
}

case "${1:-}" in
cluster)
  [ $# -eq 3 ] || { echo "usage: $0 cluster PLATFORM_PASSWORD CONSOLE_PASSWORD" >&2; exit 2; }
  # Each MQTT session's queue on every node: a gateway moved to another
  # node finds its subscriptions there (without it the node refuses them
  # while the queue's home node is down).
  $CTL -q delete_user guest >/dev/null 2>&1 || true
  $CTL -q set_policy --apply-to queues --priority 10 kiv-mqtt-sessions '^mqtt-subscription-' \
    '{"ha-mode":"all","ha-sync-mode":"automatic"}'
  # The platform's CSE: the gateways' requests and answers to it, its
  # requests to them and their answers, the gateways' status. A CSE may
  # also subscribe to registration requests (reg_req): RabbitMQ closes the
  # connection of a client whose subscription it refuses.
  set_user "$PLATFORM" "$2" \
    "^\.oneM2M\.((resp|reg_resp)\.[^.*#]+\.$PLATFORM|req\.$PLATFORM\.[^.*#]+)\.json\$" \
    "^(\.oneM2M\.((req|reg_req)\.[^.#]+\.$PLATFORM|resp\.$PLATFORM\.[^.#]+)\.(json|#)|\.kiv\.status\.([^.]+|#))\$"
  # The console (gwctl -u console): requests to any gateway, the answers.
  set_user console "$3" \
    '^\.oneM2M\.req\.[^.]+\.[^.]+\.json$' \
    '^(\.oneM2M\.resp\.[^.*#]+\.[^.#]+\.json|\.kiv\.status\.([^.]+|#))$'
  ;;
gateway)
  [ $# -eq 3 ] || { echo "usage: $0 gateway DEVICE_ID PASSWORD" >&2; exit 2; }
  # Its own topics only ({username} is its device id): its requests to the
  # platform and their answers, requests to it and its answers, its status.
  set_user "$2" "$3" \
    "^(\.oneM2M\.req\.{username}\.$PLATFORM\.json|\.oneM2M\.resp\.[^.*#]+\.{username}\.json|\.kiv\.status\.{username})\$" \
    "^(\.oneM2M\.resp\.{username}\.$PLATFORM\.json|\.oneM2M\.req\.[^.#]+\.{username}\.json)\$"
  ;;
*)
  echo "usage: $0 cluster PLATFORM_PASSWORD CONSOLE_PASSWORD | gateway DEVICE_ID PASSWORD" >&2
  exit 2
  ;;
esac
