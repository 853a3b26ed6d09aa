#!/usr/bin/env bash
# Relay benchmark on loopback: our program (corvan-proxy --headless, a TCP mapping and the
# SOCKS5 service) against HAProxy (TCP mode), nginx's stream module, rinetd, socat, microsocks
# and dante, all started here in one run, every rate printed as a ratio to a direct connection
# measured in the same run. The peers that can use several cores get one worker per core
# (HAProxy's threads, its default; nginx's worker processes, set to match), as ours uses them
# all; every other setting is the peer's default but for limits and idle time-outs.
#
# Rows:
#   1. TCP mapping, short connections (connect, GET, close): ours, HAProxy, nginx, rinetd, socat
#   2. SOCKS5, short connections (connect, handshake, GET, close): ours, microsocks, dante
#      Beside each relay in rows 1 and 2: the CPU its process tree used per connection
#      (/proc/PID/stat, user and system time, reaped children included).
#   3. SOCKS5, one bulk download (curl through socks5): ours, microsocks, dante
#   4. TCP mapping, one bulk stream (iperf3): ours, HAProxy, nginx, rinetd, socat
#   5. Memory (PSS growth, /proc/PID/smaps_rollup, children included), descriptors per idle
#      open tunnel, over TUNNELS tunnels, and the threads of the process (with its children)
#      holding them: every program above (our mapping's tunnels are held while our SOCKS
#      tunnels are measured, so neither row reuses the other's memory)
# First it prints what a direct short connection costs the machine and the kernel's part of it:
# the ceiling those set for any relay of short connections (see relay_ceiling).
#
# Usage: bench/relay_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   SHORT=1 a quick check (1 s windows, one run, 64 MiB download, 50 tunnels)
#        DURATION (s per short-connection window, 5)  RUNS (median of, 3)
#        CLIENTS (client processes for short connections, 4)
#        BULK_MB (curl download, 1024)  IPERF_SECS (5)  TUNNELS (200)
# Everything listens on 127.0.0.1 only; every peer started here is stopped on exit; every
# step is bounded in time.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
if [ "${SHORT:-0}" = 1 ]; then
    : "${DURATION:=1}" "${RUNS:=1}" "${BULK_MB:=64}" "${IPERF_SECS:=1}" "${TUNNELS:=50}"
fi
DURATION=${DURATION:-5}
RUNS=${RUNS:-3}
CLIENTS=${CLIENTS:-4}
BULK_MB=${BULK_MB:-1024}
IPERF_SECS=${IPERF_SECS:-5}
TUNNELS=${TUNNELS:-200}

source "$(dirname "$0")/peers.sh"
need_tools python3 curl socat rinetd microsocks danted iperf3 haproxy
need_nginx_stream
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
cleanup() {
    stop_started
    if [ -s "$TMP/proxy.log" ] && [ "${QUIET_LOG:-0}" != 1 ]; then
        echo "--- corvan-proxy log" >&2; tail -n 20 "$TMP/proxy.log" >&2
    fi
    rm -rf "$TMP"
}
trap cleanup EXIT
# The far ends: HTTP (short answers and the bulk download), iperf3, and a holder for idle
# tunnels (echoes the first byte, then keeps the connection open).
HTTP=$(free_port); IPERF=$(free_port); HOLD=$(free_port)
# Our program: a mapping to each far end and the SOCKS5 service.
O_HTTP=$(free_port); O_IPERF=$(free_port); O_HOLD=$(free_port); O_SOCKS=$(free_port)
R_HTTP=$(free_port); R_IPERF=$(free_port); R_HOLD=$(free_port)
S_HTTP=$(free_port); S_IPERF=$(free_port); S_HOLD=$(free_port)
H_HTTP=$(free_port); H_IPERF=$(free_port); H_HOLD=$(free_port)
N_HTTP=$(free_port); N_IPERF=$(free_port); N_HOLD=$(free_port)
MICRO=$(free_port); DANTE=$(free_port)

cat > "$TMP/servers.py" <<'PY'
import os, sys
from benchlib import holder, listen
http_port, hold_port, workers = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
SMALL = b"HTTP/1.0 200 OK\r\nContent-Length: 64\r\nConnection: close\r\n\r\n" + b"x" * 64
MIB = b"\x5a" * (1 << 20)

def http_worker():
    l = listen(http_port, True)
    while True:
        c, _ = l.accept()
        try:
            c.settimeout(30)
            req = b""
            while b"\r\n\r\n" not in req:
                d = c.recv(4096)
                if not d:
                    break
                req += d
            path = req.split(b" ", 2)[1] if req.count(b" ") >= 2 else b"/"
            if path.startswith(b"/bulk/"):
                mb = int(path[6:])
                c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (mb << 20))
                for _ in range(mb):
                    c.sendall(MIB)
            else:
                c.sendall(SMALL)
        except OSError:
            pass
        finally:
            c.close()

for _ in range(workers):
    if os.fork() == 0:
        http_worker()
holder(hold_port)
PY
# setsid: the servers fork workers; the group is ended with the leader's id.
start setsid python3 "$TMP/servers.py" "$HTTP" "$HOLD" 4
SERVERS_PID=${PIDS[-1]}
DANTE_PID=
cleanup_servers() {
    kill -- -"$SERVERS_PID" 2>/dev/null || true
    stop_dante_workers
}
trap 'cleanup_servers; cleanup' EXIT
start iperf3 -s -B 127.0.0.1 -p "$IPERF" > /dev/null 2>&1

start_corvan "$TMP" "$BIN" "$O_SOCKS" 1024 "$O_HTTP:$HTTP" "$O_IPERF:$IPERF" "$O_HOLD:$HOLD"
start_rinetd "$R_HTTP:$HTTP" "$R_IPERF:$IPERF" "$R_HOLD:$HOLD"
start_haproxy "$H_HTTP:$HTTP" "$H_IPERF:$IPERF" "$H_HOLD:$HOLD"
start_nginx_stream "$N_HTTP:$HTTP" "$N_IPERF:$IPERF" "$N_HOLD:$HOLD"

SOCAT_PIDS=()
for pair in "$S_HTTP:$HTTP" "$S_IPERF:$IPERF" "$S_HOLD:$HOLD"; do
    start socat "TCP-LISTEN:${pair%%:*},bind=127.0.0.1,reuseaddr,fork,backlog=1024" \
        "TCP:127.0.0.1:${pair##*:}" 2> /dev/null
    SOCAT_PIDS+=("${PIDS[-1]}")
done

start microsocks -i 127.0.0.1 -p "$MICRO" > /dev/null 2>&1
MICRO_PID=${PIDS[-1]}

start_dante "$DANTE" connect

export HTTP IPERF HOLD O_HTTP O_IPERF O_HOLD O_SOCKS R_HTTP R_IPERF R_HOLD S_HTTP S_IPERF \
    S_HOLD H_HTTP H_IPERF H_HOLD N_HTTP N_IPERF N_HOLD MICRO DANTE OURS_PID RINETD_PID \
    HAPROXY_PID NGINX_PID MICRO_PID DANTE_PID DURATION RUNS CLIENTS BULK_MB IPERF_SECS TUNNELS
export SOCAT_HTTP_PID=${SOCAT_PIDS[0]} SOCAT_HOLD_PID=${SOCAT_PIDS[2]}

# The whole measurement is bounded: windows, downloads and streams, plus set-up slack.
LIMIT=$(( (RUNS * (9 * DURATION + 2 * 6 * IPERF_SECS + 4 * (BULK_MB / 50 + 5))) + 300 ))
timeout "$LIMIT" python3 - <<'PY'
import json, multiprocessing as mp, os, socket, statistics, subprocess, sys, time
from benchlib import connect, cpu_seconds, footprint, recv_exact, wait_port

E = os.environ
ports = {k: int(E[k]) for k in ("HTTP", "IPERF", "HOLD", "O_HTTP", "O_IPERF", "O_HOLD",
                                "O_SOCKS", "R_HTTP", "R_IPERF", "R_HOLD", "S_HTTP", "S_IPERF",
                                "S_HOLD", "H_HTTP", "H_IPERF", "H_HOLD", "N_HTTP", "N_IPERF",
                                "N_HOLD", "MICRO", "DANTE")}
DURATION, RUNS, CLIENTS = float(E["DURATION"]), int(E["RUNS"]), int(E["CLIENTS"])
BULK_MB, IPERF_SECS, TUNNELS = int(E["BULK_MB"]), int(E["IPERF_SECS"]), int(E["TUNNELS"])
GET = b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"

def short_worker(port, socks_to, stop_at, out):
    n = errors = 0
    while time.perf_counter() < stop_at:
        try:
            s = connect(port, socks_to)
            s.sendall(GET)
            got = b""
            while True:
                d = s.recv(4096)
                if not d:
                    break
                got += d
            s.close()
            if got.startswith(b"HTTP/1.0 200"):
                n += 1
            else:
                errors += 1
        except OSError:
            errors += 1
            time.sleep(0.001)
    out.put((n, errors))

def short_rate(port, socks_to=None):
    out = mp.Queue()
    stop_at = time.perf_counter() + DURATION
    procs = [mp.Process(target=short_worker, args=(port, socks_to, stop_at, out))
             for _ in range(CLIENTS)]
    for p in procs:
        p.start()
    results = [out.get(timeout=DURATION + 60) for _ in procs]
    for p in procs:
        p.join(10)
    done = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    if errors:
        print("  (%d failed connections)" % errors, file=sys.stderr)
    return done / DURATION

def curl_rate(socks=None):
    cmd = ["curl", "-s", "-o", "/dev/null", "--max-time", str(BULK_MB // 50 + 60),
           "-w", "%{speed_download} %{size_download}",
           "http://127.0.0.1:%d/bulk/%d" % (ports["HTTP"], BULK_MB)]
    if socks:
        cmd[1:1] = ["--socks5", "127.0.0.1:%d" % socks]
    speed, size = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    if int(size) != BULK_MB << 20:
        raise SystemExit("download cut short: %s bytes" % size)
    return float(speed) / (1 << 20)

def iperf_rate(port):
    r = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", str(IPERF_SECS),
                        "-J"], capture_output=True, text=True, timeout=IPERF_SECS + 30)
    data = json.loads(r.stdout)
    if "error" in data:
        raise SystemExit("iperf3: " + data["error"])
    return data["end"]["sum_received"]["bits_per_second"] / 8 / (1 << 20)

def median(f, *args):
    return statistics.median(f(*args) for _ in range(RUNS))

def short_cost(pid, port, socks_to=None):
    """The rate of short connections, and the relay's CPU per connection (us) meanwhile: where
    a relay's rate falls behind another's, this tells whether it works more per connection."""
    cpu0 = cpu_seconds(pid)
    rate = short_rate(port, socks_to)
    used = cpu_seconds(pid) - cpu0
    return rate, used / (rate * DURATION) * 1e6 if rate else 0.0

def row(title, unit, cases, pids=None):
    """pids: the relays' processes by name; their CPU per connection is printed beside."""
    print("\n%s (%s, ratio to direct%s)"
          % (title, unit, "; relay's CPU per connection" if pids else ""))
    figures = []
    for name, case in cases:
        if pids and name in pids:
            runs = [short_cost(pids[name], *case[1:]) for _ in range(RUNS)]
            figures.append((name, statistics.median(r[0] for r in runs),
                            statistics.median(r[1] for r in runs)))
        else:
            figures.append((name, median(*case), None))
    direct = figures[0][1]
    for name, value, cpu in figures:
        print("  %-12s %12.1f  %5.2f%s" % (name, value, value / direct if direct else 0,
                                          "  %6.0f us" % cpu if cpu is not None else ""))

# --- memory, descriptors and threads per idle tunnel ---

def per_tunnel(pid, port, socks_to=None, keep=None):
    # A few tunnels first, so that what every program makes once is not counted.
    for s in [connect(port, socks_to) for _ in range(3)]:
        s.sendall(b"w"); recv_exact(s, 1); s.close()
    time.sleep(0.3)
    pss0, fds0, _ = footprint(pid)
    tunnels = []
    try:
        for _ in range(TUNNELS):
            s = connect(port, socks_to)
            s.sendall(b"x")
            recv_exact(s, 1)  # the tunnel carries bytes both ways: it is fully set up
            tunnels.append(s)
        time.sleep(0.5)
        pss1, fds1, threads = footprint(pid)
    finally:
        if keep is not None:
            keep.extend(tunnels)
        else:
            for s in tunnels:
                s.close()
            time.sleep(0.5)
    return (pss1 - pss0) / TUNNELS, (fds1 - fds0) / TUNNELS, threads

for p in ports.values():
    wait_port(p)
P = ports
print("runs: %d, window %.0f s, %d clients, download %d MiB, iperf3 %d s, %d tunnels"
      % (RUNS, DURATION, CLIENTS, BULK_MB, IPERF_SECS, TUNNELS))
def cpu_ticks():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal: busy, and the kernel's part of it
    return v[0] + v[1] + v[2] + v[5] + v[6] + v[7], v[2] + v[5] + v[6]

def relay_ceiling():
    # What a short connection costs the whole machine directly, and the kernel's share: a
    # relay adds at least a second connection's kernel work (accept, connect, the bytes and
    # both closes), so even a relay with no other cost stays below direct / (direct + kernel).
    busy0, kernel0 = cpu_ticks()
    rate = short_rate(P["HTTP"])
    busy1, kernel1 = cpu_ticks()
    conns = rate * DURATION
    hz = os.sysconf("SC_CLK_TCK")
    total = (busy1 - busy0) / hz / conns * 1e6
    kernel = (kernel1 - kernel0) / hz / conns * 1e6
    print("\nDirect short connection: %.0f us of CPU (%.0f us in the kernel); a relay adding "
          "only a second connection's kernel work would reach at most %.2f of direct"
          % (total, kernel, total / (total + kernel)))

relay_ceiling()
row("TCP mapping, short connections (connect, GET, close)", "connections/s", [
    ("direct", (short_rate, P["HTTP"])), ("corvan", (short_rate, P["O_HTTP"])),
    ("haproxy", (short_rate, P["H_HTTP"])), ("nginx", (short_rate, P["N_HTTP"])),
    ("rinetd", (short_rate, P["R_HTTP"])), ("socat", (short_rate, P["S_HTTP"]))],
    {"corvan": int(E["OURS_PID"]), "haproxy": int(E["HAPROXY_PID"]),
     "nginx": int(E["NGINX_PID"]), "rinetd": int(E["RINETD_PID"]),
     "socat": int(E["SOCAT_HTTP_PID"])})
row("SOCKS5, short connections (connect, handshake, GET, close)", "connections/s", [
    ("direct", (short_rate, P["HTTP"])), ("corvan", (short_rate, P["O_SOCKS"], P["HTTP"])),
    ("microsocks", (short_rate, P["MICRO"], P["HTTP"])),
    ("dante", (short_rate, P["DANTE"], P["HTTP"]))],
    {"corvan": int(E["OURS_PID"]), "microsocks": int(E["MICRO_PID"]),
     "dante": int(E["DANTE_PID"])})
row("SOCKS5, one bulk download (curl, %d MiB)" % BULK_MB, "MiB/s", [
    ("direct", (curl_rate,)), ("corvan", (curl_rate, P["O_SOCKS"])),
    ("microsocks", (curl_rate, P["MICRO"])), ("dante", (curl_rate, P["DANTE"]))])
row("TCP mapping, one bulk stream (iperf3, %d s)" % IPERF_SECS, "MiB/s", [
    ("direct", (iperf_rate, P["IPERF"])), ("corvan", (iperf_rate, P["O_IPERF"])),
    ("haproxy", (iperf_rate, P["H_IPERF"])), ("nginx", (iperf_rate, P["N_IPERF"])),
    ("rinetd", (iperf_rate, P["R_IPERF"])), ("socat", (iperf_rate, P["S_IPERF"]))])
print("\nIdle open tunnels (PSS growth and descriptors per tunnel over %d; threads of the "
      "process and its children holding them, corvan socks's with the mapping's still held)"
      % TUNNELS)
# Our mapping's tunnels stay open while the SOCKS tunnels are measured: closed, they would
# leave memory (thread stacks, heap) that the SOCKS tunnels reuse, and the second row would
# show only part of what a tunnel costs.
held = []
for name, pid, port, socks_to, keep in (
        ("corvan map", int(E["OURS_PID"]), P["O_HOLD"], None, held),
        ("corvan socks", int(E["OURS_PID"]), P["O_SOCKS"], P["HOLD"], None),
        ("haproxy", int(E["HAPROXY_PID"]), P["H_HOLD"], None, None),
        ("nginx", int(E["NGINX_PID"]), P["N_HOLD"], None, None),
        ("rinetd", int(E["RINETD_PID"]), P["R_HOLD"], None, None),
        ("socat", int(E["SOCAT_HOLD_PID"]), P["S_HOLD"], None, None),
        ("microsocks", int(E["MICRO_PID"]), P["MICRO"], P["HOLD"], None),
        ("dante", int(E["DANTE_PID"]), P["DANTE"], P["HOLD"], None)):
    kb, fds, threads = per_tunnel(pid, port, socks_to, keep)
    print("  %-12s %7.1f kB  %5.2f descriptors  %5d threads" % (name, kb, fds, threads))
    if keep is None:
        for s in held:
            s.close()
        held.clear()
PY
