#!/usr/bin/env bash
# Mailvane's acceptance on the real disk paired with the disk's durable write rate measured just
# before and just after it, so that the ratio is not spoiled by the disk's speed drifting between
# runs (a shared virtual disk changes by several times within minutes). 1 KiB messages. Then,
# paired the same way, Mailvane with its spool on /dev/shm against Postfix's smtp-sink (10,000
# messages, so that a run is long against the machine's jitter).
#
#   bench/paired_disk.sh [disk-folder] [rounds]     (defaults /var/tmp/mailvane-bench, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
disk=${1:-/var/tmp/mailvane-bench}
rounds=${2:-3}
mkdir -p "$disk"
rate() { sed -n 's/.*\(msgs\|files\)_per_s=\([0-9.]*\).*/\2/p'; }  # the rate of a bench line
echo "# $(date -u '+%Y-%m-%d %H:%M UTC') load: $(cut -d' ' -f1-3 /proc/loadavg)"
for sessions in 1 10 50; do
  writers=$(( sessions < 4 ? sessions : 4 ))
  for _ in $(seq "$rounds"); do
    before=$(build-bench/bench/sync_rate "$disk" "$writers" 1000 1024 3 log | rate)
    accepted=$(bench/mvbench.py accept "$disk" 1024 "$sessions" 1000 | rate)
    after=$(build-bench/bench/sync_rate "$disk" "$writers" 1000 1024 3 log | rate)
    awk -v s="$sessions" -v w="$writers" -v b="$before" -v a="$accepted" -v f="$after" 'BEGIN {
      bound = (b + f) / 2
      printf "paired sessions=%d sync_writers=%d sync_before=%.1f mailvane=%.1f sync_after=%.1f ratio=%.2f\n", s, w, b, a, f, a / bound }'
  done
done
shm=/dev/shm/mailvane-bench
mkdir -p "$shm"
trap 'rm -rf "$shm"' EXIT
for sessions in 10 50; do
  for _ in $(seq "$rounds"); do
    before=$(bench/mvbench.py sink 1024 "$sessions" 10000 | rate)
    accepted=$(bench/mvbench.py accept "$shm" 1024 "$sessions" 10000 | rate)
    after=$(bench/mvbench.py sink 1024 "$sessions" 10000 | rate)
    awk -v s="$sessions" -v b="$before" -v a="$accepted" -v f="$after" 'BEGIN {
      printf "paired_shm sessions=%d sink_before=%.1f mailvane=%.1f sink_after=%.1f ratio=%.2f\n", s, b, a, f, a / ((b + f) / 2) }'
  done
done
echo "# load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
