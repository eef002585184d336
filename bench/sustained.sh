#!/usr/bin/env bash
# Sustained load: all 8 ports of one board as four null-modem pairs with
# the paced UARTs, full duplex, clients streaming continuously; once with
# RTS/CTS and once without flow control. Prints bytes lost, line errors
# and the driver process's CPU use for each.
#   bench/sustained.sh [SECONDS] [MODEL] [RATE]
set -euo pipefail
secs=${1:-30}; model=${2:-4}; rate=${3:-921600}
bin=$(dirname "$0")/../build/bin
for flow in --rtscts ""; do
  ns="sustained-$$-${flow:-none}"
  $bin/quillmard --namespace "$ns" ${QM_SUSTAINED_OPTS:-} --board model=$model,irq=5 \
    --line 0.0=null-modem:0.1 --line 0.2=null-modem:0.3 \
    --line 0.4=null-modem:0.5 --line 0.6=null-modem:0.7 -- -Q 5 >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 50); do $bin/quillmar --namespace "$ns" list >/dev/null 2>&1 && break; sleep 0.1; done
  for p in 0 1 2 3 4 5 6 7; do $bin/quillmar --namespace "$ns" config $p $rate,8N1 $flow >/dev/null; done
  t0=$(awk '{print $14+$15}' /proc/$pid/stat)
  for a in 0 2 4 6; do
    $bin/quillmar --namespace "$ns" bench $a $((a+1)) --seconds "$secs" > /tmp/sustained-$$-$a.txt &
  done
  wait $(jobs -p | grep -v "^$pid$") 2>/dev/null || true
  sleep 1
  t1=$(awk '{print $14+$15}' /proc/$pid/stat)
  hz=$(getconf CLK_TCK)
  echo "== model $model at $rate bit/s, flow control: ${flow:-none}, ${secs} s"
  cat /tmp/sustained-$$-{0,2,4,6}.txt
  awk -v a="$t0" -v b="$t1" -v hz="$hz" -v s="$secs" 'BEGIN { printf "quillmard CPU: %.2f s over %d s = %.0f%% of one core\n", (b-a)/hz, s, 100*(b-a)/hz/s }'
  kill -TERM $pid; wait $pid 2>/dev/null || true
  rm -f /tmp/sustained-$$-*.txt
done
