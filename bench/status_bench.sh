#!/usr/bin/env bash
# What scraping the status page costs: one bulk download through our SOCKS5 service (curl)
# alone, and the same while /metrics is fetched SCRAPES times a second, each RUNS times;
# prints the median rates, the cost in per cent, how the scrapes fared (count, median and
# slowest answer), and the program's own CPU time while it is scraped without a download (on
# a busy machine the rates vary more than scraping costs).
#
# Usage: bench/status_bench.sh [path/to/corvan-proxy]   (default build/corvan-proxy)
# Env:   BULK_MB (download size, 1024)  RUNS (median of, 3)  SCRAPES (per second, 100)
#        SHORT=1 a quick check (64 MiB, one run)
# Everything listens on 127.0.0.1 only; every process started here is stopped on exit;
# every step is bounded in time.
set -euo pipefail
BIN=${1:-build/corvan-proxy}
if [ "${SHORT:-0}" = 1 ]; then
    : "${BULK_MB:=64}" "${RUNS:=1}"
fi
BULK_MB=${BULK_MB:-1024}
RUNS=${RUNS:-3}
SCRAPES=${SCRAPES:-100}

for tool in python3 curl; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x "$BIN" ] || { echo "no program at $BIN" >&2; exit 1; }

TMP=$(mktemp -d)
PIDS=()
cleanup() {
    status=$?
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    if [ "$status" != 0 ] && [ -s "$TMP/proxy.log" ]; then
        echo "--- corvan-proxy log" >&2; tail -n 20 "$TMP/proxy.log" >&2
    fi
    rm -rf "$TMP"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
HTTP=$(free_port); SOCKS=$(free_port); STATUS=$(free_port)

# The far end: GET /bulk/N answers N MiB.
cat > "$TMP/bulk.py" <<'PY'
import socket, sys, threading
MIB = b"\x5a" * (1 << 20)
l = socket.socket()
l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("127.0.0.1", int(sys.argv[1])))
l.listen(64)
def serve(c):
    try:
        req = b""
        while b"\r\n\r\n" not in req:
            d = c.recv(4096)
            if not d:
                return
            req += d
        mb = int(req.split(b" ")[1].rsplit(b"/", 1)[1])
        c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % (mb << 20))
        for _ in range(mb):
            c.sendall(MIB)
    except (OSError, ValueError, IndexError):
        pass
    finally:
        c.close()
while True:
    c, _ = l.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
python3 "$TMP/bulk.py" "$HTTP" & PIDS+=($!)

mkdir -p "$TMP/data/Corvan"
printf '[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\n[Proxy-Status]\nEnabled=1\nServerPort=%s\n' \
    "$SOCKS" "$STATUS" > "$TMP/data/Corvan/CorvanProxy.ini"
LOCALAPPDATA="$TMP/data" XDG_CONFIG_HOME="$TMP/config" HOME="$TMP/home" \
    "$BIN" --headless 2> "$TMP/proxy.log" & PIDS+=($!)
OURS_PID=$!
for _ in $(seq 100); do
    grep -q "running headless" "$TMP/proxy.log" && break
    sleep 0.1
done
grep -q "status page at" "$TMP/proxy.log" || { cat "$TMP/proxy.log" >&2; exit 1; }

BULK_MB=$BULK_MB RUNS=$RUNS SCRAPES=$SCRAPES python3 - "$HTTP" "$SOCKS" "$STATUS" "$OURS_PID" <<'PY'
import os, socket, statistics, subprocess, sys, threading, time
http, socks, status, ours = map(int, sys.argv[1:5])
BULK_MB, RUNS, SCRAPES = int(os.environ["BULK_MB"]), int(os.environ["RUNS"]), int(os.environ["SCRAPES"])

def download():
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "--max-time", str(BULK_MB // 20 + 60),
                          "-w", "%{speed_download} %{size_download}", "--socks5",
                          "127.0.0.1:%d" % socks, "http://127.0.0.1:%d/bulk/%d" % (http, BULK_MB)],
                         check=True, capture_output=True, text=True).stdout.split()
    if int(out[1]) != BULK_MB << 20:
        raise SystemExit("download cut short: %s bytes" % out[1])
    return float(out[0]) / (1 << 20)

def scrape():
    s = socket.create_connection(("127.0.0.1", status), timeout=10)
    s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
    got = b""
    while True:
        d = s.recv(65536)
        if not d:
            break
        got += d
    s.close()
    if got[8:13] != b" 200 ":
        raise RuntimeError("scrape failed: %r" % got[:100])

def scraper(stop, times, errors):
    # Paced by the clock: a slow answer is not made up for by a burst.
    period, next_at = 1.0 / SCRAPES, time.monotonic()
    while not stop.is_set():
        t = time.monotonic()
        try:
            scrape()
        except (OSError, RuntimeError) as e:
            errors.append(str(e))
            return
        times.append(time.monotonic() - t)
        next_at += period
        time.sleep(max(0.0, next_at - time.monotonic()))

alone, scraped, times, spans, errors = [], [], [], [], []
def with_scrapes():
    stop = threading.Event()
    t = threading.Thread(target=scraper, args=(stop, times, errors))
    start = time.monotonic()
    t.start()
    scraped.append(download())
    stop.set()
    t.join()
    spans.append(time.monotonic() - start)
    if errors:
        raise SystemExit(errors[0])

# The order alternates, so that neither kind always runs on a machine warmed by the other.
for i in range(RUNS):
    if i % 2:
        with_scrapes()
        alone.append(download())
    else:
        alone.append(download())
        with_scrapes()
a, s = statistics.median(alone), statistics.median(scraped)
print("SOCKS5 bulk download, %d MiB, median of %d" % (BULK_MB, RUNS))
print("  alone:                      %8.1f MiB/s" % a)
print("  while /metrics %3d/s:       %8.1f MiB/s" % (SCRAPES, s))
print("  cost:                       %8.1f %%" % ((a - s) / a * 100))
times.sort()
print("  scrapes: %d in %.1f s (%.0f/s), answer median %.2f ms, slowest %.2f ms"
      % (len(times), sum(spans), len(times) / sum(spans), statistics.median(times) * 1000,
         times[-1] * 1000))

# The program's own CPU time for scrapes alone, which the rates above (on a busy machine)
# may not show: utime + stime of the process over a window of scrapes without a download.
def cpu_seconds():
    fields = open("/proc/%d/stat" % ours).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
stop, idle_times = threading.Event(), []
before, start = cpu_seconds(), time.monotonic()
t = threading.Thread(target=scraper, args=(stop, idle_times, errors))
t.start()
time.sleep(5)
stop.set()
t.join()
used, span = cpu_seconds() - before, time.monotonic() - start
print("  program CPU while scraped alone: %.1f %% of one core (%d scrapes, %.2f ms each)"
      % (used / span * 100, len(idle_times), used / max(len(idle_times), 1) * 1000))
PY
