#!/usr/bin/env bash
# The bank's demo site with the control for any browser: builds what it
# needs, registers the module (the carried root chains; http://127.0.0.1
# among the trusted sites), starts the local agent (`keyloom agent`, a
# loopback WebSocket) and the bank's site with its test authority (`testca
# serve`, below the carried demo hierarchy), and prints the page's address.
# Open it in any browser on this machine and enroll; Ctrl-C stops both.
#
# The homes live in build/demo-site/, so the certificates of earlier runs
# stay listed; --fresh starts from empty homes. --check serves the page
# once, checks it answers, and stops (CI uses it).
# Ports: KEYLOOM_AGENT_PORT (default 17443), KEYLOOM_SITE_PORT (18080).
set -euo pipefail
cd "$(dirname "$0")/.."

fresh=0
check=0
for arg in "$@"; do
  case "$arg" in
    --fresh) fresh=1 ;;
    --check) check=1 ;;
    *) echo "usage: scripts/demo.sh [--fresh] [--check]" >&2; exit 2 ;;
  esac
done
agent_port=${KEYLOOM_AGENT_PORT:-17443}
site_port=${KEYLOOM_SITE_PORT:-18080}

bash scripts/deps.sh build
source scripts/lib/host-tools.sh
build_host_tools

homes=build/demo-site
if [ "$fresh" = 1 ]; then rm -rf "$homes"; fi
mkdir -p -m 700 "$homes" "$homes/tmp" "$homes/logs"
export KEYLOOM_HOME="$PWD/$homes/user" KEYLOOM_MACHINE_HOME="$PWD/$homes/machine"
export TMPDIR="$PWD/$homes/tmp"

source scripts/lib/services.sh
trap stop_services EXIT
build/bin/keyloom regsvr
# The demo site is plain http, which the agent admits only when named.
start_service "$homes/logs" agent "listening on ws://127\\.0\\.0\\.1:$agent_port/" \
  build/bin/keyloom agent --port "$agent_port" --allow-origin "http://127.0.0.1:$site_port"
start_service "$homes/logs" site "ready on http://127\\.0\\.0\\.1:$site_port/" \
  build/bin/testca serve --dir build/chain --port "$site_port" --bind 127.0.0.1

address="http://127.0.0.1:$site_port/"
if [ "$agent_port" != 17443 ]; then address="${address}?agent=$agent_port"; fi

if [ "$check" = 1 ]; then
  # One GET of the page over bash's own socket: the site answers 200 with
  # the page, and the agent is up (its ready line was seen above).
  exec 3<>"/dev/tcp/127.0.0.1/$site_port"
  printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$site_port" >&3
  answer=$(cat <&3)
  exec 3<&-
  if ! grep -q '^HTTP/1.1 200' <<<"$answer" || ! grep -q 'app.js' <<<"$answer"; then
    echo "demo: the site did not serve the page" >&2
    exit 1
  fi
  echo "demo: the page is served at $address and the agent listens on ws://127.0.0.1:$agent_port/"
  exit 0
fi

echo
echo "The bank's demo page: $address"
echo "(agent on ws://127.0.0.1:$agent_port/; logs in $homes/logs; Ctrl-C stops both)"
wait
