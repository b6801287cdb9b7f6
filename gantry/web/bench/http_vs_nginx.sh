#!/bin/sh
# Requests per second of our HTTP server and of nginx (one worker process, a 100-byte static file),
# both on 127.0.0.1, measured one after the other in the same run with wrk: 10 keep-alive
# connections, 2 threads. Prints both rates and their ratio.
#
#   gantry/web/bench/http_vs_nginx.sh [BUILD_DIR [SECONDS]]
#
# BUILD_DIR holds bench/gantry_web_bench_server (default: build). Needs wrk and nginx
# (apt-get install wrk nginx-light); runs a private nginx in a temporary folder, not the service.
set -eu
BUILD=${1:-build}
SECONDS_EACH=${2:-10}
SERVER="$BUILD/bench/gantry_web_bench_server"

for tool in wrk nginx python3; do
    command -v "$tool" >/dev/null 2>&1 || PATH="$PATH:/usr/sbin"
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool (apt-get install wrk nginx-light)" >&2; exit 1; }
done
[ -x "$SERVER" ] || { echo "missing $SERVER (build the bench targets)" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"
ours_pid=""
nginx_pid=""
cleanup() {
    [ -n "$ours_pid" ] && kill "$ours_pid" 2>/dev/null && wait "$ours_pid" 2>/dev/null
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# nginx: one worker, no access log, the same 100 bytes as our handler.
mkdir -p "$work/www"
python3 -c 'import sys; sys.stdout.write("h" * 99 + "\n")' > "$work/www/hello"
nginx_port=$(free_port)
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 1000000;
    client_body_temp_path $work/client_body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    default_type text/plain;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
    }
}
CONF
nginx -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!

"$SERVER" > "$work/ours.out" &
ours_pid=$!

wait_for() {  # url
    i=0
    while ! curl -s -o /dev/null "$1"; do
        i=$((i + 1))
        [ $i -gt 100 ] && { echo "no answer from $1" >&2; exit 1; }
        sleep 0.1
    done
}
i=0
while ! grep -q '^port ' "$work/ours.out"; do
    i=$((i + 1)); [ $i -gt 100 ] && { echo "our server did not start" >&2; exit 1; }
    sleep 0.1
done
ours_port=$(sed -n 's/^port //p' "$work/ours.out")
ours_url="http://127.0.0.1:$ours_port/hello"
nginx_url="http://127.0.0.1:$nginx_port/hello"
wait_for "$ours_url"
wait_for "$nginx_url"
[ "$(curl -s "$ours_url")" = "$(curl -s "$nginx_url")" ] || { echo "bodies differ" >&2; exit 1; }

rate() {  # url
    wrk -t2 -c10 -d"${SECONDS_EACH}s" "$1" > "$work/wrk.out"
    # A rate made of errors would mean nothing.
    if grep -qE 'Non-2xx|Socket errors' "$work/wrk.out"; then
        echo "wrk reported errors for $1:" >&2
        cat "$work/wrk.out" >&2
        exit 1
    fi
    awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.out"
}
# Alternate twice and keep the better run of each, so a passing disturbance hurts neither.
best_ours=0
best_nginx=0
for round in 1 2; do
    r=$(rate "$ours_url"); best_ours=$(python3 -c "print(max($best_ours, $r))")
    r=$(rate "$nginx_url"); best_nginx=$(python3 -c "print(max($best_nginx, $r))")
done
echo "gantry HTTPServer: $best_ours requests/s"
echo "nginx (1 worker):  $best_nginx requests/s"
python3 -c "print('ratio gantry/nginx: %.2f' % ($best_ours / $best_nginx))"
