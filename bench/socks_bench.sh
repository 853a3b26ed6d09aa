#!/usr/bin/env bash
# Bulk throughput and short-connection rate on loopback: directly, through our SOCKS5
# service (corvan-proxy --headless) and through microsocks, in one run, with the ratios.
# Usage: bench/socks_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env: BULK_MB (default 512), SHORT_COUNT (default 2000). Everything stays on 127.0.0.1.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
BULK_MB=${BULK_MB:-512}
SHORT_COUNT=${SHORT_COUNT:-2000}
command -v microsocks >/dev/null || { echo "microsocks is not installed" >&2; exit 1; }
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
    cat "$TMP/proxy.log" >&2; rm -rf "$TMP"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

OURS=$(free_port)
mkdir -p "$TMP/data/Corvan"
printf '[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\nMaxConnections=256\n' \
    "$OURS" > "$TMP/data/Corvan/CorvanProxy.ini"
LOCALAPPDATA="$TMP/data" XDG_CONFIG_HOME="$TMP/config" HOME="$TMP/home" \
    "$BIN" --headless 2> "$TMP/proxy.log" &
PIDS+=($!)
MICRO=$(free_port)
microsocks -i 127.0.0.1 -p "$MICRO" > /dev/null 2>&1 &
PIDS+=($!)

timeout 600 python3 - "$OURS" "$MICRO" "$BULK_MB" "$SHORT_COUNT" <<'PY'
import socket, struct, sys, threading, time

ours, micro, bulk_mb, short_count = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
BLOCK = b"\x5a" * 65536

def wait_port(port):
    for _ in range(250):
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            time.sleep(0.02)
    sys.exit("port %d never opened" % port)

def serve(listener, handler):
    while True:
        c, _ = listener.accept()
        threading.Thread(target=handler, args=(c,), daemon=True).start()

def source(c):  # sends the requested number of bytes, then closes
    want = struct.unpack("!Q", recv_exact(c, 8))[0]
    while want > 0:
        n = min(want, len(BLOCK))
        c.sendall(BLOCK[:n])
        want -= n
    c.close()

def echo_one(c):  # one byte back, then close
    d = c.recv(1)
    if d:
        c.sendall(d)
    c.close()

def recv_exact(s, n):
    b = b""
    while len(b) < n:
        d = s.recv(n - len(b))
        if not d:
            raise IOError("closed")
        b += d
    return b

def listener(handler):
    l = socket.socket()
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind(("127.0.0.1", 0))
    l.listen(512)
    threading.Thread(target=serve, args=(l, handler), daemon=True).start()
    return l.getsockname()[1]

src_port, echo_port = listener(source), listener(echo_one)

def open_conn(proxy, port):
    s = socket.create_connection(("127.0.0.1", proxy if proxy else port), 10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if proxy:
        s.sendall(b"\x05\x01\x00")
        r = recv_exact(s, 2)
        s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack("!H", port))
        r += recv_exact(s, 10)
        if r[:2] != b"\x05\x00" or r[3] != 0:
            raise IOError("refused: %r" % r)
    return s

def bulk(proxy):
    total = bulk_mb << 20
    s = open_conn(proxy, src_port)
    t = time.perf_counter()
    s.sendall(struct.pack("!Q", total))
    got = 0
    while True:
        d = s.recv(1 << 20)
        if not d:
            break
        got += len(d)
    dt = time.perf_counter() - t
    s.close()
    assert got == total, (got, total)
    return total / dt / (1 << 20)

def short(proxy):
    t = time.perf_counter()
    for _ in range(short_count):
        s = open_conn(proxy, echo_port)
        s.sendall(b"x")
        assert recv_exact(s, 1) == b"x"
        s.close()
    return short_count / (time.perf_counter() - t)

wait_port(ours); wait_port(micro)
rows = [("direct", None), ("corvan", ours), ("microsocks", micro)]
res = {name: (bulk(p), short(p)) for name, p in rows}
print("%-11s %12s %14s" % ("path", "bulk MB/s", "short conn/s"))
for name, _ in rows:
    print("%-11s %12.1f %14.1f" % (name, res[name][0], res[name][1]))
for a, b in (("corvan", "direct"), ("microsocks", "direct"), ("corvan", "microsocks")):
    print("ratio %s/%s: bulk %.2f, short %.2f" % (a, b, res[a][0] / res[b][0], res[a][1] / res[b][1]))
PY
