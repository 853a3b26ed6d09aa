#!/usr/bin/env bash
# UDP through SOCKS5 (UDP ASSOCIATE) on loopback: datagrams per second through an association
# of our program (corvan-proxy --headless, its SOCKS5 service) and through one of dante
# (danted, its udpassociate rule), both started here in one run, each printed as a ratio to
# the same client talking to the echo server directly in the same run.
#
# Each client process opens one association and sends a datagram, waits for its echo, sends
# the next (so no datagram is lost to a full buffer and every rate is of datagrams carried
# both ways); the rate is the echoes received per second over all clients.
#
# Usage: bench/socks_udp_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   DURATION (s per window, 5)  RUNS (median of, 3)  CLIENTS (client processes, 2)
#        SIZE (data bytes per datagram, 64)
# Everything listens on 127.0.0.1 only; every peer started here is stopped on exit; every
# step is bounded in time.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
DURATION=${DURATION:-5}
RUNS=${RUNS:-3}
CLIENTS=${CLIENTS:-2}
SIZE=${SIZE:-64}

source "$(dirname "$0")/peers.sh"
need_tools python3 danted
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
DANTE_PID=
cleanup() {
    stop_dante_workers
    stop_started
    rm -rf "$TMP"
}
trap cleanup EXIT

ECHO=$(free_port); O_SOCKS=$(free_port); DANTE=$(free_port)

# The echo server: every datagram goes back to its sender.
start python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
while True:
    d, a = s.recvfrom(65535)
    s.sendto(d, a)
' "$ECHO"

start_corvan "$TMP" "$BIN" "$O_SOCKS" 1024

start_dante "$DANTE" udpassociate udpreply

export ECHO O_SOCKS DANTE DURATION RUNS CLIENTS SIZE
LIMIT=$(( RUNS * 3 * (DURATION + 30) + 60 ))
timeout "$LIMIT" python3 - <<'PY'
import multiprocessing as mp, os, socket, statistics, struct, sys, time
from benchlib import recv_exact, wait_port

E = os.environ
ECHO, DURATION, RUNS = int(E["ECHO"]), float(E["DURATION"]), int(E["RUNS"])
CLIENTS, SIZE = int(E["CLIENTS"]), int(E["SIZE"])

def associate(proxy, udp):
    """A SOCKS5 association without a login for datagrams from udp: the control connection
    (kept open while the association is used) and the relay's address."""
    c = socket.create_connection(("127.0.0.1", proxy), 10)
    c.sendall(b"\x05\x01\x00")
    if recv_exact(c, 2) != b"\x05\x00":
        sys.exit("proxy on %d refused the greeting" % proxy)
    c.sendall(b"\x05\x03\x00\x01" + socket.inet_aton("127.0.0.1") +
              struct.pack("!H", udp.getsockname()[1]))
    reply = recv_exact(c, 10)
    if reply[1] != 0 or reply[3] != 1:
        sys.exit("proxy on %d refused UDP ASSOCIATE: %r" % (proxy, reply))
    host = socket.inet_ntoa(reply[4:8])
    return c, ("127.0.0.1" if host == "0.0.0.0" else host, struct.unpack("!H", reply[8:10])[0])

def worker(proxy, stop_at, out):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    udp.settimeout(2)
    data = b"\x5a" * SIZE
    control = None
    if proxy:
        control, relay = associate(proxy, udp)
        udp.connect(relay)
        message = b"\x00\x00\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack("!H", ECHO) + data
        expected = len(message)
    else:
        udp.connect(("127.0.0.1", ECHO))
        message, expected = data, SIZE
    n = lost = 0
    while time.perf_counter() < stop_at:
        udp.send(message)
        try:
            if len(udp.recv(65535)) == expected:
                n += 1
        except socket.timeout:
            lost += 1
    if control:
        control.close()
    udp.close()
    out.put((n, lost))

def rate(proxy):
    out = mp.Queue()
    stop_at = time.perf_counter() + DURATION
    procs = [mp.Process(target=worker, args=(proxy, stop_at, out)) for _ in range(CLIENTS)]
    for p in procs:
        p.start()
    results = [out.get(timeout=DURATION + 30) for _ in procs]
    for p in procs:
        p.join(10)
    lost = sum(r[1] for r in results)
    if lost:
        print("  (%d datagrams without an echo)" % lost, file=sys.stderr)
    return sum(r[0] for r in results) / DURATION

def wait_echo():
    """Returns once the echo server answers (it may still be starting); ends after 10 s."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.settimeout(0.1)
    for _ in range(100):
        try:
            probe.sendto(b"?", ("127.0.0.1", ECHO))
            probe.recv(16)
            return
        except OSError: # no answer yet, or refused while nothing is bound
            pass
    sys.exit("the echo server never answered")

wait_echo()
for port in (int(E["O_SOCKS"]), int(E["DANTE"])):
    wait_port(port)
rows = {"direct": [], "corvan": [], "dante": []}
for _ in range(RUNS):
    rows["direct"].append(rate(None))
    rows["corvan"].append(rate(int(E["O_SOCKS"])))
    rows["dante"].append(rate(int(E["DANTE"])))
direct = statistics.median(rows["direct"])
print("SOCKS5 UDP ASSOCIATE, %d-byte datagrams, %d clients, echoes per second (median of %d):"
      % (SIZE, CLIENTS, RUNS))
for name in ("direct", "corvan", "dante"):
    r = statistics.median(rows[name])
    print("  %-8s %10.0f  %5.2f of direct" % (name, r, r / direct if direct else 0))
PY
