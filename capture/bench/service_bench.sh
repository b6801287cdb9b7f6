#!/bin/sh
# Service benchmark: cv-captured as it runs in production (one process in the foreground), in a
# private network namespace, against multicat as the baseline in the same run.
#
#   1. 100 captures configured, no traffic: the worker's resident memory and CPU over SECONDS,
#      beside 100 idle multicat processes on the same groups.
#   2. 20 channels at 10 Mbit/s each (ts-send looping STREAM): the worker's CPU against 20
#      multicat processes recording the same groups, and the bytes each wrote.
#   3. The guide saved while channels record EPG_STREAM, which carries a guide (epg-save-run,
#      252,000 events, 4 channels): save time, longest and 99th-percentile wait of a guide decoder
#      for the store, ring drops. With a second binary (the store before saving outside its lock)
#      both run.
#
#   capture/bench/service_bench.sh BUILD_DIR STREAM EPG_STREAM [SECONDS] [EPG_SAVE_RUN_BEFORE]
#
# BUILD_DIR is a build with -DCORVID_BENCH=ON (bin/cv-captured, bench/ts-send, bench/epg-save-run);
# needs root for unshare -n, and multicat.
set -eu
if [ -z "${CORVID_BENCH_NETNS:-}" ]; then
    exec unshare -n env CORVID_BENCH_NETNS=1 sh "$0" "$@"
fi
ip link set lo up
ip route add 239.0.0.0/8 dev lo

build=$1
stream=$2
epg_stream=$3
seconds=${4:-20}
before=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpu_of() {  # utime + stime of a process, in seconds
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}
rss_of() {  # resident kB
    awk '/^VmRSS/ { print $2 }' "/proc/$1/status"
}
group() {  # the n-th group of a block
    echo "$1" | awk -F. -v n="$2" '{ print $1 "." $2 "." $3 "." $4 + n }'
}

# A configuration with N captures on consecutive groups from FIRST.
configure() {
    {
        echo "<captured><background daemon='no'/><log level='1'/><captures>"
        echo "<default><file prefix='$work/ours/'/><index suffix='.cvi2'/>"
        echo "<segment length='1 min'/></default>"
        c=0
        while [ $c -lt "$2" ]; do
            echo "<capture id='ch$c'><source address='$(group "$1" $c)' port='5000'/></capture>"
            c=$((c + 1))
        done
        echo "</captures><epg><disk file='$work/epg.xml'/></epg></captured>"
    } > "$work/captured.cfg.xml"
}
start_multicats() {  # prints the pids
    c=0
    while [ $c -lt "$2" ]; do
        multicat -u "@$(group "$1" $c):5000" "$work/mcat/ch$c.ts" > /dev/null 2>&1 &
        echo $!
        c=$((c + 1))
    done
}
stop_all() {
    for pid in "$@"; do
        kill -TERM "$pid"
        wait "$pid" 2>/dev/null || true
    done
}
sum_cpu() {
    total=0
    for pid in "$@"; do
        total=$(echo "$total $(cpu_of "$pid")" | awk '{ print $1 + $2 }')
    done
    echo "$total"
}

mkdir -p "$work/ours" "$work/mcat"
echo "== 100 idle captures, ${seconds} s"
configure 239.20.0.1 100
"$build/bin/cv-captured" "$work/captured.cfg.xml" > "$work/idle.log" &
ours=$!
mcats=$(start_multicats 239.20.0.1 100)
sleep 2
ours_cpu0=$(cpu_of $ours)
mcat_cpu0=$(sum_cpu $mcats)
sleep "$seconds"
ours_cpu=$(echo "$(cpu_of $ours) $ours_cpu0" | awk '{ print $1 - $2 }')
mcat_cpu=$(echo "$(sum_cpu $mcats) $mcat_cpu0" | awk '{ print $1 - $2 }')
ours_rss=$(rss_of $ours)
mcat_rss=0
for pid in $mcats; do mcat_rss=$((mcat_rss + $(rss_of "$pid"))); done
stop_all $ours $mcats
awk -v oc="$ours_cpu" -v mc="$mcat_cpu" -v orss="$ours_rss" -v mrss="$mcat_rss" -v s="$seconds" 'BEGIN {
    printf "cv-captured: %.0f MB resident, %.2f %% of a core\n", orss / 1024, 100 * oc / s
    printf "100 multicat: %.0f MB resident, %.2f %% of a core\n", mrss / 1024, 100 * mc / s
    printf "ratio ours/multicat: memory %.2f, cpu %.2f\n", orss / mrss, (mc > 0 ? oc / mc : 0) }'
rm -rf "$work/ours" "$work/mcat"

mkdir -p "$work/ours" "$work/mcat"
echo "== 20 channels at 10 Mbit/s, ${seconds} s"
configure 239.21.0.1 20
"$build/bin/cv-captured" "$work/captured.cfg.xml" > "$work/live.log" &
ours=$!
mcats=$(start_multicats 239.21.0.1 20)
sleep 1
ours_cpu0=$(cpu_of $ours)
"$build/bench/ts-send" "$stream" 239.21.0.1 5000 20 200 "$seconds" > /dev/null
sleep 0.5
ours_cpu=$(echo "$(cpu_of $ours) $ours_cpu0" | awk '{ print $1 - $2 }')
mcat_cpu=$(sum_cpu $mcats)
stop_all $ours $mcats
ours_bytes=$(cat "$work"/ours/*.ts | wc -c)
mcat_bytes=$(cat "$work"/mcat/*.ts | wc -c)
awk -v oc="$ours_cpu" -v mc="$mcat_cpu" -v ob="$ours_bytes" -v mb="$mcat_bytes" 'BEGIN {
    printf "cv-captured: %.2f CPU s, %.1f MB written\n", oc, ob / 1e6
    printf "20 multicat: %.2f CPU s, %.1f MB written\n", mc, mb / 1e6
    printf "ratio ours/multicat: cpu %.2f, bytes %.3f\n", oc / mc, ob / mb }'
rm -rf "$work/ours" "$work/mcat"

echo "== guide saved while 4 channels record, ${seconds} s"
mkdir -p "$work/save"
for run in $before "$build/bench/epg-save-run"; do
    echo "$run"
    "$run" "$epg_stream" 4 "$seconds" "$work/save" 2>/dev/null
done
