#!/bin/sh
# Requests per second of a trivial message handler over SOAP, and of the bare HTTP server sending
# the same answer, both on 127.0.0.1 in one process, measured one after the other in the same run
# with wrk: 10 keep-alive connections, 2 threads, each request posting the same envelope. Prints
# both rates and their ratio.
#
#   gantry/soap/bench/soap_vs_http.sh [BUILD_DIR [SECONDS]]
#
# BUILD_DIR holds bench/gantry_soap_bench_server (default: build). Needs wrk, curl and python3.
set -eu
BUILD=${1:-build}
SECONDS_EACH=${2:-10}
SERVER="$BUILD/bench/gantry_soap_bench_server"

for tool in wrk curl python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool (apt-get install wrk)" >&2; exit 1; }
done
[ -x "$SERVER" ] || { echo "missing $SERVER (build the bench targets)" >&2; exit 1; }

work=$(mktemp -d)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A SOAP 1.1 request as a client library would send it.
envelope='<soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/" xmlns:cv="urn:corvid:capture:1"><soapenv:Header/><soapenv:Body><cv:bench-request id="bench-0001"/></soapenv:Body></soapenv:Envelope>'
printf '%s' "$envelope" > "$work/envelope.xml"
cat > "$work/post.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml; charset=utf-8"
wrk.headers["SOAPAction"] = '""'
wrk.body = [[$envelope]]
LUA

soap_port=$(free_port)
bare_port=$(free_port)
"$SERVER" "$soap_port" "$bare_port" "$work/envelope.xml" > "$work/server.out" &
server_pid=$!
i=0
while ! grep -q '^ready' "$work/server.out"; do
    i=$((i + 1)); [ $i -gt 100 ] && { echo "the bench server did not start" >&2; exit 1; }
    sleep 0.1
done
soap_url="http://127.0.0.1:$soap_port/soap"
bare_url="http://127.0.0.1:$bare_port/soap"
post() { curl -s -H 'Content-Type: text/xml' --data-binary "@$work/envelope.xml" "$1"; }
[ "$(post "$soap_url")" = "$(post "$bare_url")" ] || { echo "bodies differ" >&2; exit 1; }
post "$soap_url" | grep -q '<cv:id>bench-0001</cv:id>' || { echo "no handler answer" >&2; exit 1; }

rate() {  # url
    wrk -t2 -c10 -d"${SECONDS_EACH}s" -s "$work/post.lua" "$1" > "$work/wrk.out"
    # A rate made of errors would mean nothing.
    if grep -qE 'Non-2xx|Socket errors' "$work/wrk.out"; then
        echo "wrk reported errors for $1:" >&2
        cat "$work/wrk.out" >&2
        exit 1
    fi
    awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.out"
}
# Alternate twice and keep the better run of each, so a passing disturbance hurts neither.
best_soap=0
best_bare=0
for round in 1 2; do
    r=$(rate "$soap_url"); best_soap=$(python3 -c "print(max($best_soap, $r))")
    r=$(rate "$bare_url"); best_bare=$(python3 -c "print(max($best_bare, $r))")
done
echo "answer body: $(sed -n 's/^ready //p' "$work/server.out") bytes"
echo "SOAP (trivial handler): $best_soap requests/s"
echo "bare HTTP server:       $best_bare requests/s"
python3 -c "print('ratio SOAP/bare: %.2f' % ($best_soap / $best_bare))"
