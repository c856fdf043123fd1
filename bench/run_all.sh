#!/usr/bin/env bash
# Runs every benchmark side by side on this machine and prints the figures: the disk's durable
# write rate, SMTP acceptance of smtp-sink and of Mailvane (spool on the real disk and on
# /dev/shm), the handler's drain rate and end-to-end delay, and one sweep of a 10,000-file spool
# folder. Each acceptance figure is the median of REPEAT runs (default 3).
#
#   bench/run_all.sh [disk-folder]     (default /var/tmp/mailvane-bench, on the root disk)
#
# Needs a Release build with the benchmarks in build-bench:
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMAILVANE_BENCH=ON -DMAILVANE_TESTS=OFF
#   cmake --build build-bench -j2
# and Postfix's smtp-source and smtp-sink (apt-get install postfix; its daemon need not run).
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build-bench/bench
disk=${1:-/var/tmp/mailvane-bench}
shm=/dev/shm/mailvane-bench
repeat=${REPEAT:-3}
mkdir -p "$disk" "$shm"
trap 'rm -rf "$shm"' EXIT

maxof() {  # largest value of field $1 in the lines on stdin
  tr ' ' '\n' | sed -n "s/^$1=//p" | sort -g | tail -1
}

median() {  # median of the values of field $1 in the lines on stdin
  tr ' ' '\n' | sed -n "s/^$1=//p" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'
}

echo "# $(date -u '+%Y-%m-%d %H:%M UTC') $(uname -r) nproc=$(nproc) load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# disk folder $disk on $(df --output=source,fstype "$disk" | tail -1)"

echo "## durable write rate (write temp + fsync + rename + fsync folder), 1 KiB and 100 KiB files"
for folder in "$disk" "$shm"; do
  for writers in 1 4; do
    for size in 1024 102400; do
      runs=$(for _ in $(seq "$repeat"); do
        "$bench/sync_rate" "$folder" "$writers" 3000 "$size" 5; done)
      echo "$runs" | sed 's/^/  /'
      echo "sync folder=$folder writers=$writers size=$size median_files_per_s=$(echo "$runs" | median files_per_s)"
    done
  done
done

echo "## SMTP acceptance (smtp-source -d: each session keeps its connection for its messages)"
for size in 1024 102400; do
  if [ "$size" = 1024 ]; then count=1000; else count=300; fi
  for sessions in 1 10 50; do
    runs=$(for _ in $(seq "$repeat"); do bench/mvbench.py sink "$size" "$sessions" "$count"; done)
    echo "$runs" | sed 's/^/  /'
    echo "accept target=smtp-sink size=$size sessions=$sessions median_msgs_per_s=$(echo "$runs" | median msgs_per_s)"
    for folder in "$disk" "$shm"; do
      runs=$(for _ in $(seq "$repeat"); do
        bench/mvbench.py accept "$folder" "$size" "$sessions" "$count"; done)
      echo "$runs" | sed 's/^/  /'
      echo "accept target=mailvane spool=$folder size=$size sessions=$sessions median_msgs_per_s=$(echo "$runs" | median msgs_per_s) max_svc_hwm_kib=$(echo "$runs" | maxof svc_hwm_kib)"
    done
  done
done

echo "## SMTP acceptance with a new connection per message (smtp-source without -d), 1 KiB"
for sessions in 1 10; do
  runs=$(for _ in $(seq "$repeat"); do bench/mvbench.py sink 1024 "$sessions" 1000 reconnect; done)
  echo "$runs" | sed 's/^/  /'
  echo "accept target=smtp-sink size=1024 sessions=$sessions reconnect=1 median_msgs_per_s=$(echo "$runs" | median msgs_per_s)"
  for folder in "$disk" "$shm"; do
    runs=$(for _ in $(seq "$repeat"); do
      bench/mvbench.py accept "$folder" 1024 "$sessions" 1000 reconnect; done)
    echo "$runs" | sed 's/^/  /'
    echo "accept target=mailvane spool=$folder size=1024 sessions=$sessions reconnect=1 median_msgs_per_s=$(echo "$runs" | median msgs_per_s)"
  done
done

echo "## durable write rate with one unsynced log line appended per file (as the server logs)"
for writers in 1 4; do
  runs=$(for _ in $(seq "$repeat"); do "$bench/sync_rate" "$disk" "$writers" 3000 1024 5 log; done)
  echo "$runs" | sed 's/^/  /'
  echo "sync folder=$disk writers=$writers size=1024 log=1 median_files_per_s=$(echo "$runs" | median files_per_s)"
done

echo "## handler drain: 2000 queued spool files, one mobile number each, into smtp-sink"
for folder in "$disk" "$shm"; do
  runs=$(for _ in $(seq "$repeat"); do bench/mvbench.py drain "$folder" 2000; done)
  echo "$runs" | sed 's/^/  /'
  echo "drain spool=$folder median_requests_per_s=$(echo "$runs" | median requests_per_s) max_handler_hwm_kib=$(echo "$runs" | maxof handler_hwm_kib)"
done

echo "## handler drain over SMPP: 5000 queued spool files, one mobile number each, into node-smpp's SMSC"
for folder in "$disk" "$shm"; do
  runs=$(for _ in $(seq "$repeat"); do bench/mvbench.py drain-smpp "$folder" 5000; done)
  echo "$runs" | sed 's/^/  /'
  echo "drain-smpp spool=$folder median_submit_sm_per_s=$(echo "$runs" | median submit_sm_per_s) max_handler_hwm_kib=$(echo "$runs" | maxof handler_hwm_kib)"
done

echo "## delay from the client's 250 to the provider request at the sink (one mail at a time, then 50 at once)"
bench/mvbench.py latency "$disk" "${LATENCY_MAILS:-50}"
bench/mvbench.py latency "$disk" 50 burst

echo "## one sweep of a spool folder of 10,000 files"
MAILVANE_BENCH_DIR=$disk "$bench/scan_spool_folder_bench" --benchmark_repetitions="$repeat" \
  --benchmark_report_aggregates_only=true
echo "# load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
