#!/usr/bin/env bash
# The main job inside the CAN test bed: four simulated drivers on can1, the example control loop on can0
# (the module brings can0 up itself). The simulator's lines are shown with a "[sim]" prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

ip link set can1 type can bitrate 1000000
ip link set can1 txqueuelen 1000  # four feedback frames per broadcast
ip link set can1 up

sim_out=$(mktemp)
python tools/dr_sim.py --interface can1 --host 0x100 \
  --driver 0x201:0:speed --driver 0x202:1:speed --driver 0x203:2:speed --driver 0x204:3:speed >"$sim_out" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^ready$' "$sim_out" && break
  sleep 0.1
done
grep -q '^ready$' "$sim_out" || { echo "the driver simulator did not start" >&2; exit 1; }

status=0
python examples/motor_loop.py can0 --host 0x100 --seconds "${DEMO_SECONDS:-5}" --rate 200 || status=$?
kill -TERM "$sim"
wait "$sim" || true
sed 's/^/[sim] /' "$sim_out"
exit "$status"
