#!/usr/bin/env bash
# Loss and line holds for one null-modem pair without flow control, both
# directions at once, with and without a CPU hog on each core: the figures
# that show whether host scheduling turns into lost bytes.
#   bench/loss.sh [BYTES] [RATE ...]      (defaults: 1048576, 115200 921600)
# Each run prints, per direction, the bytes that arrived intact, the bytes
# lost, the line errors the receiver saw, and how often the line held for
# the receiving port's service (quillmar status). QM_LOSS_OPTS adds
# quillmard options (--strict-time shows what holding prevents).
set -euo pipefail
bytes=${1:-1048576}; shift || true
rates=("$@"); [ ${#rates[@]} -gt 0 ] || rates=(115200 921600)
bin=$(cd "$(dirname "$0")/../build/bin" && pwd)
work=$(mktemp -d)
hogs=()
stop_hogs() { for h in "${hogs[@]}"; do kill "$h" 2>/dev/null || true; done; hogs=(); }
trap 'stop_hogs; rm -rf "$work"' EXIT
head -c "$bytes" /dev/urandom > "$work/a.bin"
head -c "$bytes" /dev/urandom > "$work/b.bin"
for rate in "${rates[@]}"; do
  for load in idle hog; do
    if [ "$load" = hog ]; then
      for _ in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & hogs+=($!); done
    fi
    ns="loss-$$-$rate-$load"
    $bin/quillmard --namespace "$ns" ${QM_LOSS_OPTS:-} --board model=4,irq=5 \
      --line 0.0=null-modem:0.1 -- -Q 5 >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do $bin/quillmar --namespace "$ns" list >/dev/null 2>&1 && break; sleep 0.1; done
    for p in 0 1; do $bin/quillmar --namespace "$ns" config $p "$rate,8N1" >/dev/null; done
    secs=$(( bytes * 10 / rate + 20 ))
    $bin/quillmar --namespace "$ns" recv 1 "$work/a.out" --bytes "$bytes" --timeout 3000 2>/dev/null &
    r1=$!
    $bin/quillmar --namespace "$ns" recv 0 "$work/b.out" --bytes "$bytes" --timeout 3000 2>/dev/null &
    r0=$!
    $bin/quillmar --namespace "$ns" send 0 "$work/a.bin" --timeout $((secs * 1000)) &
    s0=$!
    $bin/quillmar --namespace "$ns" send 1 "$work/b.bin" --timeout $((secs * 1000)) &
    s1=$!
    wait $s0 $s1 $r0 $r1 2>/dev/null || true
    echo "== $rate bit/s 8N1, no flow control, $bytes bytes each way, $load"
    for dir in "0 1 a" "1 0 b"; do
      set -- $dir
      got=$(stat -c %s "$work/$3.out" 2>/dev/null || echo 0)
      same=$(cmp -s "$work/$3.bin" "$work/$3.out" && echo intact || echo "differs")
      status=$($bin/quillmar --namespace "$ns" status "$2")
      errors=$(sed -n 's/.*line errors since start: //p' <<<"$status")
      holds=$(sed -n 's/.*line held for the port.s service: \([0-9]*\).*/\1/p' <<<"$status")
      echo "  port $1 -> $2: $got bytes ($same), lost $((bytes - got)), line errors: $errors, holds: ${holds:-?}"
    done
    kill -TERM $pid; wait $pid 2>/dev/null || true
    rm -f "$work"/*.out
    stop_hogs
  done
done
