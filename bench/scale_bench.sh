#!/usr/bin/env bash
# Scale benchmark on loopback: how many idle tunnels a program holds at once under the
# machine's limit of open files, and what they cost. For each program in turn: open TUNNELS
# tunnels to a far end that keeps them open (each carries a byte each way as it opens), check
# that every one still carries a byte each way while all are held, print the memory (PSS
# growth, children included) and descriptors per tunnel and the threads of the process, then
# time SAMPLES new short connections (connect, handshake, a byte each way, close) while the
# tunnels stay open, and close them all before the next program.
#
# Programs: our TCP mapping and our SOCKS5 service (corvan-proxy --headless, one process for
# each, so that neither reuses memory the other's tunnels left), HAProxy (TCP mode, one thread
# per core, its default) and rinetd as mapping peers, microsocks as a SOCKS5 peer. Every
# process started here runs with its soft open-file limit raised to the hard one; ours raises
# its own the same way at start (its log line is printed) and its SOCKS service may take as
# many connections as that limit. A program that cannot hold them all is
# reported with how many it held and the first failure, and its new connections are timed
# after SPARE of its tunnels are closed to make room.
#
# Usage: bench/scale_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   TUNNELS (per program, 9000)  WINDOW (tunnels being opened at once, 64)
#        TUNNEL_SECS (a tunnel or new connection that has not carried its byte each way by
#        then has failed, 5)  OPEN_SECS (the most spent opening one program's tunnels, 180)
#        SAMPLES (new connections timed, 20)  SPARE (tunnels closed to make room, 32)
#        SETTLE_SECS (threads counted again this long after the openings, 3)
# Everything listens on 127.0.0.1 only; everything started here is stopped on exit; every
# step is bounded in time.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
TUNNELS=${TUNNELS:-9000}
WINDOW=${WINDOW:-64}
TUNNEL_SECS=${TUNNEL_SECS:-5}
OPEN_SECS=${OPEN_SECS:-180}
SAMPLES=${SAMPLES:-20}
SPARE=${SPARE:-32}
# The most spent checking that the held tunnels work, and waiting for a program to let go of
# the tunnels closed before the next one opens its own.
CHECK_SECS=60
DRAIN_SECS=60
# Threads are counted again this long after the opening burst (SETTLE_SECS, 3).
SETTLE_SECS=${SETTLE_SECS:-3}

source "$(dirname "$0")/peers.sh"
need_tools python3 haproxy rinetd microsocks
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
cleanup() {
    stop_started
    for ours in map socks; do
        if [ -s "$TMP/$ours/proxy.log" ]; then
            echo "--- corvan-proxy log ($ours)" >&2; tail -n 20 "$TMP/$ours/proxy.log" >&2
        fi
    done
    rm -rf "$TMP"
}
trap cleanup EXIT

HOLD=$(free_port); O_MAP=$(free_port); O_SOCKS=$(free_port); H_MAP=$(free_port)
R_MAP=$(free_port); MICRO=$(free_port); UNUSED_SOCKS=$(free_port)
start python3 -c 'import sys; from benchlib import holder; holder(int(sys.argv[1]))' "$HOLD"
start_corvan "$TMP/map" "$BIN" "$UNUSED_SOCKS" 1 "$O_MAP:$HOLD"
OURS_MAP_PID=$OURS_PID
start_corvan "$TMP/socks" "$BIN" "$O_SOCKS" "$FILE_LIMIT"
OURS_SOCKS_PID=$OURS_PID
start_haproxy "$H_MAP:$HOLD"
start_rinetd "$R_MAP:$HOLD"
start microsocks -i 127.0.0.1 -p "$MICRO" > /dev/null 2>&1
MICRO_PID=${PIDS[-1]}

export HOLD O_MAP O_SOCKS H_MAP R_MAP MICRO OURS_MAP_PID OURS_SOCKS_PID HAPROXY_PID RINETD_PID MICRO_PID \
    TUNNELS WINDOW TUNNEL_SECS OPEN_SECS SAMPLES SPARE CHECK_SECS DRAIN_SECS SETTLE_SECS FILE_LIMIT
export PROXY_LOG="$TMP/map/proxy.log"
PHASE=$(( OPEN_SECS + TUNNEL_SECS + CHECK_SECS + (SAMPLES + 1) * TUNNEL_SECS + DRAIN_SECS + SETTLE_SECS + 10 ))
BOUND=$(( 5 * PHASE + 60 ))
rc=0
timeout "$BOUND" python3 - <<'PY' || rc=$?
import errno, os, selectors, socket, statistics, sys, time
from benchlib import (SOCKS_CHOICE_LEN, SOCKS_GREETING, SOCKS_REPLY_LEN, alive,
                      check_socks_choice, check_socks_reply, connect, footprint, recv_exact,
                      socks_request)

E = os.environ
TUNNELS, WINDOW, SAMPLES, SPARE = (int(E[k]) for k in ("TUNNELS", "WINDOW", "SAMPLES", "SPARE"))
TUNNEL_SECS, OPEN_SECS = float(E["TUNNEL_SECS"]), float(E["OPEN_SECS"])
CHECK_SECS, DRAIN_SECS = float(E["CHECK_SECS"]), float(E["DRAIN_SECS"])
SETTLE_SECS = float(E["SETTLE_SECS"])


def check_echo(answer):
    if answer != b"x":
        raise IOError("the far end's byte did not come back")


def plan(socks_to):
    """What a new tunnel sends, the length of the answer it waits for and how that is
    checked, in order: the SOCKS5 handshake if any, then a byte each way."""
    steps = []
    if socks_to is not None:
        steps += [("SOCKS method", SOCKS_GREETING, SOCKS_CHOICE_LEN, check_socks_choice),
                  ("SOCKS connect", socks_request(socks_to), SOCKS_REPLY_LEN, check_socks_reply)]
    return steps + [("byte each way", b"x", 1, check_echo)]


class Opening:
    def __init__(self, number, sock):
        self.number, self.sock, self.step, self.got = number, sock, -1, b""
        self.deadline = time.monotonic() + TUNNEL_SECS

    def stage(self, steps):
        return "connect" if self.step < 0 else steps[self.step][0]


def open_tunnels(port, socks_to):
    """Opens up to TUNNELS tunnels, WINDOW at a time, and stops opening at the first failure.
    Returns the open tunnels (non-blocking) and the first failure's text, or None."""
    steps = plan(socks_to)
    sel = selectors.DefaultSelector()
    pending, held = {}, []
    error, started = None, 0
    stop_at = time.monotonic() + OPEN_SECS

    def drop(t, why):
        nonlocal error
        sel.unregister(t.sock)
        t.sock.close()
        del pending[t.sock]
        if error is None:
            error = "tunnel %d: %s (%s)" % (t.number, why, t.stage(steps))

    def send_next(t):
        t.step += 1
        data = steps[t.step][1]
        if t.sock.send(data) != len(data):
            raise IOError("a few bytes could not be sent")
        sel.modify(t.sock, selectors.EVENT_READ, t)

    def advance(t):
        if t.step < 0:
            err = t.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if err:
                raise OSError(err, os.strerror(err))
            send_next(t)
            return
        d = t.sock.recv(64)
        if not d:
            raise IOError("the proxy closed the connection")
        t.got += d
        _, _, length, check = steps[t.step]
        if len(t.got) < length:
            return
        check(t.got[:length])
        t.got = t.got[length:]
        if t.step + 1 < len(steps):
            send_next(t)
            return
        sel.unregister(t.sock)
        del pending[t.sock]
        held.append(t.sock)

    while True:
        now = time.monotonic()
        if error is None and started < TUNNELS and now >= stop_at:
            error = "%d opened in the %.0f s allowed" % (started, OPEN_SECS)
        while error is None and started < TUNNELS and len(pending) < WINDOW:
            started += 1
            try:
                s = socket.socket()
            except OSError as e:
                error = "tunnel %d: this client cannot open a socket: %s" % (started, e)
                break
            s.setblocking(False)
            t = Opening(started, s)
            pending[s] = t
            sel.register(s, selectors.EVENT_WRITE, t)
            rc = s.connect_ex(("127.0.0.1", port))
            if rc not in (0, errno.EINPROGRESS):
                drop(t, os.strerror(rc))
        if not pending:
            break
        for key, _ in sel.select(0.1):
            t = key.data
            try:
                advance(t)
            except (OSError, IOError) as e:
                drop(t, str(e))
        now = time.monotonic()
        for t in [t for t in pending.values() if t.deadline < now]:
            drop(t, "no answer within %.0f s" % TUNNEL_SECS)
    sel.close()
    return held, error


def working(held):
    """How many of the open tunnels carry one more byte each way, all sent at once."""
    sel = selectors.DefaultSelector()
    waiting = 0
    for s in held:
        try:
            if s.send(b"x") == 1:
                sel.register(s, selectors.EVENT_READ)
                waiting += 1
        except OSError:
            pass
    good = 0
    deadline = time.monotonic() + CHECK_SECS
    while waiting and time.monotonic() < deadline:
        for key, _ in sel.select(0.1):
            s = key.fileobj
            try:
                ok = s.recv(1) == b"x"
            except OSError:
                ok = False
            good += ok
            waiting -= 1
            sel.unregister(s)
    sel.close()
    return good


def new_connections(port, socks_to):
    """Milliseconds each of SAMPLES new short connections took, and the failures' texts."""
    times, failures = [], []
    for _ in range(SAMPLES):
        t0 = time.perf_counter()
        try:
            s = connect(port, socks_to, TUNNEL_SECS)
            try:
                s.sendall(b"x")
                check_echo(recv_exact(s, 1))
            finally:
                s.close()
            times.append((time.perf_counter() - t0) * 1000)
        except (OSError, IOError) as e:
            failures.append(str(e) or type(e).__name__)
    return times, failures


def close_all(held, pid, fds_before):
    """Closes the tunnels and waits (bounded) until the program has let go of them."""
    for s in held:
        s.close()
    held.clear()
    deadline = time.monotonic() + DRAIN_SECS
    while alive(pid) and time.monotonic() < deadline:
        if footprint(pid)[1] <= fds_before + WINDOW:
            return
        time.sleep(0.2)


def wait_port(port):
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                sys.exit("port %d never opened" % port)
            time.sleep(0.05)


def measure(name, pid, port, socks_to=None):
    # A few tunnels first, so that what every program makes once is not counted.
    try:
        for s in [connect(port, socks_to, TUNNEL_SECS) for _ in range(3)]:
            s.sendall(b"x"); check_echo(recv_exact(s, 1)); s.close()
    except (OSError, IOError) as e:
        print("  %-13s no tunnel opens: %s%s" % (name, str(e) or type(e).__name__,
                                                "" if alive(pid) else " (the program has exited)"))
        return
    time.sleep(0.3)
    pss0, fds0, _ = footprint(pid)
    t0 = time.monotonic()
    held, error = open_tunnels(port, socks_to)
    opened_secs = time.monotonic() - t0
    good = working(held)
    time.sleep(0.5)
    pss1, fds1, threads = footprint(pid)
    count = len(held)
    n = max(count, 1)
    notes = []
    if error:
        notes.append("stopped at " + error)
    if not alive(pid):
        notes.append("the program has exited")
    room = ""
    if error and held:
        for s in held[-SPARE:]:
            s.close()
        del held[-SPARE:]
        time.sleep(0.5)
        room = " (%d closed to make room)" % SPARE
    times, failures = new_connections(port, socks_to)
    if times:
        timing = "%.1f / %.1f%s" % (statistics.median(times), max(times), room)
    else:
        timing = "none served" + room
    if failures:
        notes.append("%d of %d new connections failed: %s" % (len(failures), SAMPLES, failures[0]))
    # Threads again once the burst of openings is SETTLE_SECS past: what holding costs, without
    # the threads that negotiated the burst and have not ended yet.
    time.sleep(SETTLE_SECS)
    _, _, settled = footprint(pid)
    print("  %-13s %6d %8d %9.1f %8.2f %8s %9.1f   %s"
          % (name, count, good, (pss1 - pss0) / n,
             (fds1 - fds0) / n, "%d/%d" % (threads, settled), opened_secs, timing), flush=True)
    for note in notes:
        print("                %s" % note, flush=True)
    close_all(held, pid, fds0)


P = {k: int(E[k]) for k in ("HOLD", "O_MAP", "O_SOCKS", "H_MAP", "R_MAP", "MICRO")}
for p in P.values():
    wait_port(p)
ours = ""
try:
    with open(E["PROXY_LOG"]) as f:
        ours = next((l.strip() for l in f if "descriptor limit" in l), "")
except OSError:
    pass
print("Idle tunnels held at once: %d asked of each program, %d being opened at a time; open-file "
      "limit %s for every process started here" % (TUNNELS, WINDOW, E["FILE_LIMIT"]))
if ours:
    print("  " + ours)
print("  held: tunnels open at once; working: of those, carrying a byte each way while all are "
      "held; kB and descriptors per held tunnel; threads of the process (and its children), as "
      "the tunnels are held / %g s later (what negotiated the burst has ended); "
      "open s: seconds taken to open them; new connection: ms, median / max of %d, while the "
      "tunnels are held\n" % (SETTLE_SECS, SAMPLES))
print("  %-13s %6s %8s %9s %8s %8s %9s   %s" % ("program", "held", "working", "kB/tunnel",
                                               "fds/tun", "threads", "open s",
                                               "new connection ms"))
measure("corvan map", int(E["OURS_MAP_PID"]), P["O_MAP"])
measure("corvan socks", int(E["OURS_SOCKS_PID"]), P["O_SOCKS"], P["HOLD"])
measure("haproxy map", int(E["HAPROXY_PID"]), P["H_MAP"])
measure("rinetd map", int(E["RINETD_PID"]), P["R_MAP"])
measure("microsocks", int(E["MICRO_PID"]), P["MICRO"], P["HOLD"])
PY
[ "$rc" != 124 ] || echo "the measurement ran past its bound of $BOUND s and was stopped" >&2
exit "$rc"
