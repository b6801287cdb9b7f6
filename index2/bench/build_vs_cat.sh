#!/usr/bin/env bash
# Indexing throughput of `cv-index build` against `cat FILE > /dev/null` on the same warm file, in
# the same run. Usage: build_vs_cat.sh [BUILD_DIR] [STREAM ...]
# Without streams it measures the largest real capture in ../shared/testdata/ts/video and a ~500 MB
# stream looped with ffmpeg from make-test-streams output in a temporary folder (removed after).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
shift || true
tool=$build/bin/cv-index
[ -x "$tool" ] || { echo "no $tool: build cv-index first" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

streams=("$@")
if [ ${#streams[@]} -eq 0 ]; then
    largest=$(ls -S "$root"/../shared/testdata/ts/video/*.ts | head -1)
    "$root"/../shared/tools/make-test-streams "$tmp/gen" 20 >/dev/null
    # 61 loops of 20 s of MPEG-2 at 3 Mbit/s: about 500 MB.
    ffmpeg -v error -y -stream_loop 60 -i "$tmp/gen/mpeg2-closed-gop25.ts" -c copy -f mpegts \
        "$tmp/loop-500mb.ts"
    streams=("$largest" "$tmp/loop-500mb.ts")
fi

# Best of three runs of a command: "wall_seconds cpu_seconds" (cpu = user + system). Both are
# shown because on a loaded machine the wall clock measures the other processes too.
best() {
    local best_wall=999999 best_cpu=999999 line wall cpu
    for _ in 1 2 3; do
        line=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null; } 2>&1 | tail -1)
        wall=$(echo "$line" | cut -d' ' -f1)
        cpu=$(echo "$line" | awk '{print $2 + $3}')
        if (( $(echo "$wall < $best_wall" | bc -l) )); then best_wall=$wall; fi
        if (( $(echo "$cpu < $best_cpu" | bc -l) )); then best_cpu=$cpu; fi
    done
    echo "$best_wall $best_cpu"
}

rate() { echo "$1 / ($2 + 0.0005)" | bc -l; }  # MB/s; the epsilon keeps a 0.000 s reading finite

printf '%-22s %7s | %-28s | %-28s\n' "" "" "wall clock MB/s" "CPU time MB/s"
printf '%-22s %7s | %8s %8s %8s | %8s %8s %8s\n' stream MB cat build ratio cat build ratio
for stream in "${streams[@]}"; do
    cat "$stream" >/dev/null  # warm the page cache
    mb=$(echo "$(stat -c %s "$stream") / 1000000" | bc -l)
    read -r cat_wall cat_cpu <<<"$(best cat "$stream")"
    read -r build_wall build_cpu <<<"$(best "$tool" build "$stream" -o "$tmp/index.cvi2")"
    printf '%-22s %7.1f | %8.0f %8.0f %7.1f%% | %8.0f %8.0f %7.1f%%\n' "$(basename "$stream")" "$mb" \
        "$(rate "$mb" "$cat_wall")" "$(rate "$mb" "$build_wall")" \
        "$(echo "100 * $(rate "$mb" "$build_wall") / $(rate "$mb" "$cat_wall")" | bc -l)" \
        "$(rate "$mb" "$cat_cpu")" "$(rate "$mb" "$build_cpu")" \
        "$(echo "100 * $(rate "$mb" "$build_cpu") / $(rate "$mb" "$cat_cpu")" | bc -l)"
done
