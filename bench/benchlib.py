"""Shared by the relay benchmarks: the far end that holds idle tunnels, clients through a
mapping or a SOCKS5 proxy, and what a process tree costs (memory, descriptors, threads)."""
import os
import selectors
import socket
import struct
import sys
import time


def listen(port, reuseport=False):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if reuseport:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("127.0.0.1", port))
    s.listen(4096)
    return s


def holder(port):
    """Keeps every connection open and answers each read with its first byte, so a client
    can check that a tunnel carries bytes both ways. Never returns."""
    l = listen(port)
    l.setblocking(False)
    sel = selectors.DefaultSelector()
    sel.register(l, selectors.EVENT_READ)
    while True:
        for key, _ in sel.select():
            s = key.fileobj
            if s is l:
                try:
                    c, _ = l.accept()
                except (BlockingIOError, ConnectionAbortedError):
                    continue
                except OSError:
                    # Out of descriptors: the clients' own failures say so; take the rest later.
                    continue
                sel.register(c, selectors.EVENT_READ)
                continue
            try:
                d = s.recv(4096)
            except OSError:
                d = b""
            if d:
                try:
                    s.sendall(d[:1])
                    continue
                except OSError:
                    pass
            sel.unregister(s)
            s.close()


def wait_port(port):
    """Returns once something accepts on 127.0.0.1:port; ends the benchmark after 10 s."""
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            time.sleep(0.02)
    sys.exit("port %d never opened" % port)


def recv_exact(s, n):
    b = b""
    while len(b) < n:
        d = s.recv(n - len(b))
        if not d:
            raise IOError("closed")
        b += d
    return b


# A SOCKS5 CONNECT to 127.0.0.1:port without a login: what is sent, and the length of each
# answer (method choice, then the reply with an IPv4 address).
SOCKS_GREETING, SOCKS_CHOICE_LEN, SOCKS_REPLY_LEN = b"\x05\x01\x00", 2, 10


def socks_request(port):
    return b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack("!H", port)


def check_socks_choice(answer):
    if answer != b"\x05\x00":
        raise IOError("SOCKS method refused")


def check_socks_reply(answer):
    if answer[1] != 0:
        raise IOError("SOCKS connect refused: %d" % answer[1])


def connect(port, socks_to=None, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout)
    s.settimeout(timeout)
    try:
        if socks_to is not None:
            s.sendall(SOCKS_GREETING)
            check_socks_choice(recv_exact(s, SOCKS_CHOICE_LEN))
            s.sendall(socks_request(socks_to))
            check_socks_reply(recv_exact(s, SOCKS_REPLY_LEN))
    except BaseException:
        s.close()
        raise
    return s


def tree(pid):
    """The process and all its descendants."""
    kids = {}
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                with open("/proc/%s/stat" % d) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                kids.setdefault(ppid, []).append(int(d))
            except (OSError, IndexError, ValueError):
                pass
    todo, seen = [pid], []
    while todo:
        p = todo.pop()
        seen.append(p)
        todo.extend(kids.get(p, []))
    return seen


def footprint(pid):
    """PSS (kB), open descriptors and threads of the process tree, its children included."""
    pss = fds = threads = 0
    for p in tree(pid):
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        pss += int(line.split()[1])
            with open("/proc/%d/status" % p) as f:
                for line in f:
                    if line.startswith("Threads:"):
                        threads += int(line.split()[1])
            fds += len(os.listdir("/proc/%d/fd" % p))
        except OSError:
            pass
    return pss, fds, threads


def cpu_seconds(pid):
    """CPU time the process tree has used: its processes' own, and that of the children they
    have reaped (a program that forks a process per connection counts it once reaped)."""
    ticks = 0
    for p in tree(pid):
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            # utime, stime, cutime, cstime
            ticks += sum(int(v) for v in fields[11:15])
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def alive(pid):
    """False once the process has ended (gone, or a zombie its parent has not reaped)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False
