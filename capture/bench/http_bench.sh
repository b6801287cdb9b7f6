#!/bin/sh
# HTTP endpoint benchmark, each figure against a baseline in the same run:
#   1. /metrics of a service with 100 captures, against a 404 from the same server (the cost of
#      the request itself): requests a second and mean latency, one connection.
#      /api/captures, the JSON view of the same captures, against the same 404.
#   2. HLS byte ranges (2 MiB, as a player asks for a few seconds of a channel) of one segment
#      file, over /hls/<id>/<segment>, against nginx serving the same file with sendfile: requests
#      a second of each, four connections.
#
#   capture/bench/http_bench.sh BUILD_DIR STREAM [SECONDS]
#
# BUILD_DIR is a build with -DCORVID_BENCH=ON (bench/http-serve); needs wrk and nginx. Everything
# listens on 127.0.0.1, on ports the system chooses.
set -eu
build=$1
stream=$2
seconds=${3:-5}
work=$(mktemp -d)
serve_pid= nginx_pid=
cleanup() {
    [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A segment of about 50 MB: the stream repeated.
mkdir "$work/seg"
segment=ch0.2026_03_01.10_00_00.ts
for _ in $(seq 20); do cat "$stream"; done >"$work/seg/$segment"

mkfifo "$work/hold"
"$build/bench/http-serve" "$work/seg" 100 <"$work/hold" >"$work/port" 2>"$work/serve.log" &
serve_pid=$!
exec 3>"$work/hold"
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
ours=$(cat "$work/port")

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
theirs=$(free_port)
cat >"$work/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $work/nginx.pid; error_log $work/nginx.err;
events { worker_connections 64; }
http {
  access_log off; sendfile on;
  client_body_temp_path $work; proxy_temp_path $work; fastcgi_temp_path $work;
  uwsgi_temp_path $work; scgi_temp_path $work;
  server { listen 127.0.0.1:$theirs; root $work/seg; }
}
CONF
nginx -p "$work" -e "$work/nginx.err" -c "$work/nginx.conf" &
nginx_pid=$!
sleep 0.5

rps() {  # requests a second of wrk over URL with CONNECTIONS, extra arguments after
    url=$1 connections=$2
    shift 2
    wrk -t "$connections" -c "$connections" -d "${seconds}s" "$@" "$url" |
        awk '/^Requests\/sec/ { print $2 } /Non-2xx/ { bad = $NF } END { if (bad) print "non-2xx:" bad > "/dev/stderr" }'
}
latency_ms() {
    wrk -t 1 -c 1 -d "${seconds}s" --latency "$1" | awk '$1 == "Latency" { print $2; exit }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

metrics=$(rps "http://127.0.0.1:$ours/metrics" 1)
empty=$(rps "http://127.0.0.1:$ours/none" 1 2>/dev/null)
lines=$(curl -s "http://127.0.0.1:$ours/metrics" | grep -c '^cv_capture_datagrams_total')
echo "metrics, $lines captures: $metrics scrapes/s, mean latency $(latency_ms "http://127.0.0.1:$ours/metrics");" \
    "404 of the same server: $empty/s; ratio scrape/404 $(ratio "$metrics" "$empty")"

json=$(rps "http://127.0.0.1:$ours/api/captures" 1)
echo "JSON view, $lines captures: $json requests/s, mean latency" \
    "$(latency_ms "http://127.0.0.1:$ours/api/captures"); ratio JSON/404 $(ratio "$json" "$empty")"

range="Range: bytes=1048576-3145727"
ours_rps=$(rps "http://127.0.0.1:$ours/hls/ch0/$segment" 4 -H "$range")
nginx_rps=$(rps "http://127.0.0.1:$theirs/$segment" 4 -H "$range")
echo "HLS 2 MiB ranges: ours $ours_rps/s, nginx $nginx_rps/s; ratio ours/nginx $(ratio "$ours_rps" "$nginx_rps")"
