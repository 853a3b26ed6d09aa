#!/usr/bin/env bash
# DNS benchmark on loopback: dnsperf for DURATION seconds against
#   1. dnsmasq directly (the reference),
#   2. our proxy (corvan-proxy --headless, ResolveMethod 1) forwarding to that dnsmasq,
#   3. a second dnsmasq forwarding to the first with no cache (--cache-size=0),
# with queries per second and lost queries, each as a ratio to direct. Not a test: figures
# depend on the machine; run it on a quiet one.
#
# Usage: bench/dns_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   DURATION (s per run, 10)  CLIENTS (dnsperf -c, 4)  OUTSTANDING (dnsperf -q, 100)
# Everything listens on 127.0.0.1 only; every process started here is stopped on exit.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
DURATION=${DURATION:-10}
CLIENTS=${CLIENTS:-4}
OUTSTANDING=${OUTSTANDING:-100}

for tool in dnsmasq dnsperf dig python3; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup.sh --tests)" >&2; exit 1; }
done
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$TMP"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_udp() { # port: until a query is answered (bounded)
    for _ in $(seq 50); do
        dig @127.0.0.1 -p "$1" +tries=1 +time=1 +short q0.bench.test >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "nothing answers on port $1" >&2
    exit 1
}

# 1000 names dnsmasq answers itself, asked round robin.
for i in $(seq 0 999); do echo "host-record=q$i.bench.test,10.9.$((i / 250)).$((i % 250 + 1))"; done > "$TMP/hosts.conf"
for i in $(seq 0 999); do echo "q$i.bench.test A"; done > "$TMP/queries"

DIRECT=$(free_port)
dnsmasq --keep-in-foreground --conf-file="$TMP/hosts.conf" --no-resolv --no-hosts \
    --bind-interfaces --listen-address=127.0.0.1 --port="$DIRECT" --pid-file --user=root \
    --log-facility=/dev/null & PIDS+=($!)
wait_udp "$DIRECT"

FORWARD=$(free_port)
dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --cache-size=0 \
    --bind-interfaces --listen-address=127.0.0.1 --port="$FORWARD" --pid-file --user=root \
    --server="127.0.0.1#$DIRECT" --log-facility=/dev/null & PIDS+=($!)
wait_udp "$FORWARD"

OURS=$(free_port)
mkdir -p "$TMP/data/Corvan"
printf '[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\nResolveMethod=1\nResolveServer=127.0.0.1:%s\n' \
    "$OURS" "$DIRECT" > "$TMP/data/Corvan/CorvanProxy.ini"
LOCALAPPDATA="$TMP/data" HOME="$TMP" XDG_CONFIG_HOME="$TMP/config" "$BIN" --headless \
    > "$TMP/ours.log" 2>&1 & PIDS+=($!)
wait_udp "$OURS"

run() { # port -> "qps lost sent"
    dnsperf -s 127.0.0.1 -p "$1" -d "$TMP/queries" -l "$DURATION" -c "$CLIENTS" \
        -q "$OUTSTANDING" -t 2 > "$TMP/perf.out" 2>&1 || true
    python3 - "$TMP/perf.out" <<'PY'
import re, sys
t = open(sys.argv[1]).read()
qps = re.search(r"Queries per second:\s+([\d.]+)", t)
sent = re.search(r"Queries sent:\s+(\d+)", t)
lost = re.search(r"Queries lost:\s+(\d+)", t)
print(qps.group(1) if qps else "0", lost.group(1) if lost else "0", sent.group(1) if sent else "0")
PY
}

read -r dq dl ds < <(run "$DIRECT")
read -r oq ol os < <(run "$OURS")
read -r fq fl fs < <(run "$FORWARD")
python3 - "$dq" "$dl" "$ds" "$oq" "$ol" "$os" "$fq" "$fl" "$fs" <<'PY'
import sys
v = [float(x) for x in sys.argv[1:]]
rows = [("dnsmasq direct", v[0:3]), ("corvan-proxy -> dnsmasq", v[3:6]),
        ("dnsmasq (no cache) -> dnsmasq", v[6:9])]
d = v[0] or 1
print(f"{'path':32} {'queries/s':>11} {'ratio':>6} {'lost':>8} {'lost %':>7}")
for name, (q, l, s) in rows:
    pct = 100 * l / s if s else 0
    print(f"{name:32} {q:11.0f} {q / d:6.2f} {l:8.0f} {pct:6.2f}%")
PY
