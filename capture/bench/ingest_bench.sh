#!/bin/sh
# Ingest benchmark: our capture and multicat record the same multicast groups, fed by ts-send
# looping a real stream, in one private network namespace and in the same run, at 200 to 1000
# Mbit/s aggregate with 1 and with 10 channels. Ours writes 1-minute segments with indexes and
# decodes the guide; multicat writes one file per group. Each point is run with bare UDP and with
# RTP (12-byte headers) sources: ours tells them apart by itself, multicat is told.
#
#   capture/bench/ingest_bench.sh BUILD_DIR STREAM [SECONDS] [RATES] [CHANNEL_COUNTS] [SOURCES]
#
# Prints one line per point: loss of each, CPU seconds per GB captured of each and their ratio;
# first the resident memory of an idle capture.
set -eu
if [ -z "${CORVID_BENCH_NETNS:-}" ]; then
    exec unshare -n env CORVID_BENCH_NETNS=1 sh "$0" "$@"
fi
ip link set lo up
ip route add 239.0.0.0/8 dev lo

bench=$1/bench
stream=$2
seconds=${3:-10}
rates=${4:-"200 400 600 800 1000"}
channel_counts=${5:-"1 10"}
sources=${6:-"bare rtp"}
group=239.10.0.1
port=5000
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# utime + stime of a process, in seconds.
cpu_of() {
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}

wait_ready() {
    for _ in $(seq 100); do
        grep -q ready "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "capture-run did not start" >&2
    exit 1
}

"$bench/capture-run" $group $port 1 "$work" > "$work/idle.out" &
idle=$!
wait_ready "$work/idle.out"
sleep 2
echo "idle capture: $(grep VmRSS /proc/$idle/status | awk '{ print $2, $3 }') resident"
kill -TERM $idle
wait $idle || true
rm -f "$work"/*.ts "$work"/*.idx

printf '%-6s %-8s %-6s %-11s %-11s %-12s %-12s %s\n' source channels Mbit/s loss-ours \
    loss-mcat cpu/GB-ours cpu/GB-mcat ratio
for channels in $channel_counts; do
    for rate in $rates; do
        for kind in $sources; do
            rtp=""
            mcat_flags="-u"
            if [ "$kind" = rtp ]; then
                rtp=rtp
                mcat_flags=""
            fi
            mkdir -p "$work/ours" "$work/mcat"
            "$bench/capture-run" $group $port "$channels" "$work/ours" > "$work/ours.out" &
            ours=$!
            wait_ready "$work/ours.out"
            mcats=""
            c=0
            while [ $c -lt "$channels" ]; do
                address=$(echo $group | awk -F. -v c=$c '{ print $1 "." $2 "." $3 "." $4 + c }')
                multicat $mcat_flags @$address:$port "$work/mcat/ch$c.ts" 2>/dev/null &
                mcats="$mcats $!"
                c=$((c + 1))
            done
            sleep 0.5
            sent=$("$bench/ts-send" "$stream" $group $port "$channels" "$rate" "$seconds" $rtp)
            sleep 0.5
            mcat_cpu=0
            for pid in $mcats; do
                mcat_cpu=$(echo "$mcat_cpu $(cpu_of "$pid")" | awk '{ print $1 + $2 }')
                kill -TERM "$pid"
                wait "$pid" 2>/dev/null || true
            done
            kill -TERM $ours
            wait $ours || true
            total_sent=$(echo "$sent" | awk '{ for (i = 1; i <= NF; i++) s += $i; print s }')
            sent_bytes=$((total_sent * 1316))
            ours_got=$(awk '/ datagrams / { s += $3 } END { print s }' "$work/ours.out")
            ours_cpu=$(awk '/^cpu / { print $2 }' "$work/ours.out")
            mcat_bytes=$(cat "$work"/mcat/*.ts | wc -c)
            awk -v kind="$kind" -v ch="$channels" -v rate="$rate" -v sent="$total_sent" -v got="$ours_got" \
                -v sb="$sent_bytes" -v mb="$mcat_bytes" -v oc="$ours_cpu" -v mc="$mcat_cpu" 'BEGIN {
                ours_gb = got * 1316 / 1e9; mcat_gb = mb / 1e9
                o = oc / ours_gb; m = mc / mcat_gb
                printf "%-6s %-8s %-6s %-11s %-11s %-12.2f %-12.2f %.2f\n", kind, ch, rate,
                    sprintf("%.3f%%", 100 * (sent - got) / sent),
                    sprintf("%.3f%%", 100 * (sb - mb) / sb), o, m, o / m }'
            rm -rf "$work/ours" "$work/mcat"
        done
    done
done
