#!/usr/bin/env bash
# DNS benchmark on loopback: dnsperf for DURATION seconds, asking 1,000 names round robin, against
#   1. dnsmasq directly (the reference),
#   2. our proxy (corvan-proxy --headless, ResolveMethod 1) forwarding to that dnsmasq,
#   3. a second dnsmasq forwarding to the first with no cache (--cache-size=0),
# and, for caches, against servers forwarding to one more up-stream dnsmasq that answers the same
# names with --local-ttl=300 (dnsmasq answers its own host-records with TTL 0 by default, which no
# cache holds, so rows 1-3 measure forwarding alone):
#   4. our proxy with its cache (default CacheSize),
#   5. dnsmasq forwarding with its cache, as large as our default CacheSize (dnsmasq's own
#      default, 150, holds fewer than the 1,000 names asked, and the row would measure
#      forwarding),
#   6. dnsdist with a packet cache of as many entries as our default CacheSize,
# with queries per second and lost queries, each as a ratio to direct. Not a test: figures
# depend on the machine; run it on a quiet one.
#
# Usage: bench/dns_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   DURATION (s per run, 10)  CLIENTS (dnsperf -c, 4)  OUTSTANDING (dnsperf -q, 100)
#        DNSMASQ_CACHE_SIZE (row 5's --cache-size, 10000)
# Everything listens on 127.0.0.1 only; every process started here is stopped on exit.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
DURATION=${DURATION:-10}
CLIENTS=${CLIENTS:-4}
OUTSTANDING=${OUTSTANDING:-100}
# Entries in dnsdist's packet cache: our proxy's default CacheSize, so both hold all 1,000 names.
DNSDIST_CACHE=10000
DNSMASQ_CACHE_SIZE=${DNSMASQ_CACHE_SIZE:-10000}
DNSMASQ_CACHE=(--cache-size="$DNSMASQ_CACHE_SIZE")

for tool in dnsmasq dnsperf dig dnsdist python3; do
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

free_port() { # a port free for both UDP and TCP on 127.0.0.1 (dnsmasq and dnsdist take both)
    python3 -c '
import socket
for _ in range(20):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0))
    port = u.getsockname()[1]
    try:
        socket.socket(socket.AF_INET, socket.SOCK_STREAM).bind(("127.0.0.1", port))
        print(port); break
    except OSError:
        pass
'
}
wait_udp() { # pid, port: until a query is answered (bounded); fails if the process has ended
    for _ in $(seq 50); do
        kill -0 "$1" 2>/dev/null || return 1
        dig @127.0.0.1 -p "$2" +tries=1 +time=1 +short q0.bench.test >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "nothing answers on port $2" >&2
    exit 1
}
# Other programs' connections on loopback may take a port between free_port and the server's
# bind, so a server that could not bind is started again on another port, a few times at most.
START_TRIES=5
start() { # variable, function, arguments...: function port arguments... starts a server there
    local var=$1 fn=$2 port; shift 2
    for _ in $(seq "$START_TRIES"); do
        port=$(free_port)
        if "$fn" "$port" "$@"; then printf -v "$var" '%s' "$port"; return 0; fi
    done
    echo "could not start $fn $* in $START_TRIES tries" >&2
    exit 1
}
dnsmasq_on() { # port, options...: a dnsmasq on 127.0.0.1 in the background
    local port=$1; shift
    dnsmasq --keep-in-foreground --no-resolv --no-hosts --bind-interfaces \
        --listen-address=127.0.0.1 --port="$port" --pid-file --user=root \
        --log-facility=/dev/null "$@" & PIDS+=($!)
    wait_udp "$!" "$port"
}
ours_on() { # port, name, up-stream port: our proxy forwarding there, settings otherwise default
    mkdir -p "$TMP/$2/Corvan"
    printf '[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\nResolveMethod=1\nResolveServer=127.0.0.1:%s\n' \
        "$1" "$3" > "$TMP/$2/Corvan/CorvanProxy.ini"
    LOCALAPPDATA="$TMP/$2" HOME="$TMP" XDG_CONFIG_HOME="$TMP/config" "$BIN" --headless \
        > "$TMP/$2.log" 2>&1 < /dev/null & PIDS+=($!)
    wait_udp "$!" "$1"
}
dnsdist_on() { # port, up-stream port: dnsdist with a packet cache forwarding there
    # Health checks ask a name the up-stream answers (it refuses names it does not hold).
    cat > "$TMP/dnsdist.conf" <<CONF
setLocal("127.0.0.1:$1")
newServer({address="127.0.0.1:$2", checkName="q0.bench.test."})
getPool(""):setCache(newPacketCache($DNSDIST_CACHE))
CONF
    dnsdist --supervised --disable-syslog -C "$TMP/dnsdist.conf" \
        > "$TMP/dnsdist.log" 2>&1 < /dev/null & PIDS+=($!)
    wait_udp "$!" "$1"
}

# 1000 names dnsmasq answers itself, asked round robin.
for i in $(seq 0 999); do echo "host-record=q$i.bench.test,10.9.$((i / 250)).$((i % 250 + 1))"; done > "$TMP/hosts.conf"
for i in $(seq 0 999); do echo "q$i.bench.test A"; done > "$TMP/queries"

start DIRECT dnsmasq_on --conf-file="$TMP/hosts.conf"
start FORWARD dnsmasq_on --conf-file=/dev/null --cache-size=0 --server="127.0.0.1#$DIRECT"
start OURS ours_on data "$DIRECT"

start UPSTREAM dnsmasq_on --conf-file="$TMP/hosts.conf" --local-ttl=300
start OURS_CACHED ours_on data-cached "$UPSTREAM"
start CACHED dnsmasq_on --conf-file=/dev/null --server="127.0.0.1#$UPSTREAM" "${DNSMASQ_CACHE[@]}"
start DNSDIST dnsdist_on "$UPSTREAM"

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

results=()
for port in "$DIRECT" "$OURS" "$FORWARD" "$OURS_CACHED" "$CACHED" "$DNSDIST"; do
    read -r q l s < <(run "$port")
    results+=("$q" "$l" "$s")
done
CACHED_NAME="dnsmasq (cache${DNSMASQ_CACHE_SIZE:+ $DNSMASQ_CACHE_SIZE}) -> dnsmasq" \
python3 - "${results[@]}" <<'PY'
import os, sys
v = [float(x) for x in sys.argv[1:]]
names = ["dnsmasq direct", "corvan-proxy -> dnsmasq", "dnsmasq (no cache) -> dnsmasq",
         "corvan-proxy (cache) -> dnsmasq", os.environ["CACHED_NAME"],
         "dnsdist (packet cache) -> dnsmasq"]
rows = [(name, v[3 * i:3 * i + 3]) for i, name in enumerate(names)]
d = v[0] or 1
print(f"{'path':36} {'queries/s':>11} {'ratio':>6} {'lost':>8} {'lost %':>7}")
for name, (q, l, s) in rows:
    pct = 100 * l / s if s else 0
    print(f"{name:36} {q:11.0f} {q / d:6.2f} {l:8.0f} {pct:6.2f}%")
PY
