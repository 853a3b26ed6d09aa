#!/usr/bin/env bash
# Rough loopback figures of the HTTP proxy against an nginx origin, each as a ratio to direct,
# with tinyproxy and squid (minimal configurations) in the same rows. Not a test: the machine
# may be shared, so run it twice and read the ratios, not the absolute numbers.
#   bash bench/httpproxy_bench.sh [build-dir]     (needs wrk, nginx, tinyproxy, squid, curl)
# Env: SHORT=1 a quick check (2 s windows, 64 MB download, 200 idle tunnels);
#      DUR (s per window, 5)  BULK_MB (200)  IDLE_TUNNELS (1000)
set -euo pipefail
BUILD=${1:-build}
BIN=$(realpath "$BUILD/corvan-proxy")
if [ "${SHORT:-0}" = 1 ]; then
    : "${DUR:=2}" "${BULK_MB:=64}" "${IDLE_TUNNELS:=200}"
fi
DUR=${DUR:-5}
BULK_MB=${BULK_MB:-200}
IDLE_TUNNELS=${IDLE_TUNNELS:-1000}
T=$(mktemp -d)
# Everything started here ends with the script (squid would linger 30 s after TERM).
cleanup() {
  set +e
  kill -KILL $(jobs -p) 2>/dev/null
  [ -f $T/nginx.pid ] && kill $(cat $T/nginx.pid) 2>/dev/null
  rm -rf $T
}
trap cleanup EXIT
free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# Origin: nginx serving a small file and a BULK_MB file.
OP=$(free_port); mkdir -p $T/www; echo small > $T/www/small; head -c $((BULK_MB * 1000000)) /dev/zero > $T/www/bulk
cat > $T/nginx.conf <<CONF
worker_processes 1; pid $T/nginx.pid; error_log $T/nginx.err; daemon on;
events { worker_connections 4096; }
http { access_log off; keepalive_requests 1000000;
  server { listen 127.0.0.1:$OP; root $T/www; } }
CONF
# nginx's workers run as another user: mktemp's folder is private.
chmod 755 $T $T/www; chmod 644 $T/www/*
nginx -c $T/nginx.conf; wait_port $OP
for f in small bulk; do # every figure below is of a 200 answer
  code=$(curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:$OP/$f)
  [ "$code" = 200 ] || { echo "origin answers $code for /$f" >&2; exit 1; }
done

# Corvan.
CP=$(free_port); mkdir -p $T/corvan/Corvan
printf '[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\nMaxConnections=2000\n' $CP > $T/corvan/Corvan/CorvanProxy.ini
LOCALAPPDATA=$T/corvan HOME=$T "$BIN" --headless > $T/corvan.out 2>&1 & CPID=$!; wait_port $CP
# tinyproxy.
TP=$(free_port)
printf 'Port %s\nListen 127.0.0.1\nMaxClients 2000\nAllow 127.0.0.1\nConnectPort %s\nLogLevel Error\n' $TP $OP > $T/tiny.conf
tinyproxy -d -c $T/tiny.conf > /dev/null 2>&1 & wait_port $TP
# squid.
SP=$(free_port)
cat > $T/squid.conf <<CONF
http_port 127.0.0.1:$SP
http_access allow all
cache deny all
access_log none
cache_log $T/squid.log
pid_filename $T/squid.pid
coredump_dir $T
max_filedescriptors 8192
acl SSL_ports port $OP
CONF
squid -N -f $T/squid.conf > /dev/null 2>&1 & wait_port $SP || echo "squid did not start"

URL=http://127.0.0.1:$OP/small
# wrk sends absolute targets through a proxy with this script.
printf 'wrk.path = "%s"\n' "$URL" > $T/abs.lua
printf 'wrk.path = "%s"\nwrk.headers["Connection"] = "close"\n' "$URL" > $T/close.lua
printf 'wrk.headers["Connection"] = "close"\n' > $T/direct_close.lua
# Requests per second and p99; "!" after the rate when some answers were not 2xx or 3xx.
rps() { wrk -t2 -c32 -d${DUR}s --latency "$@" 2>/dev/null |
  awk '/Requests\/sec/{r=$2} / 99%/{p=$2} /Non-2xx/{bad="!"} END{print r bad, p}'; }
tunnels() { # CONNECT tunnels per second: one short-lived tunnel per request, 8 at once
  python3 - "$1" "$OP" "$DUR" <<'PY'
import socket, sys, time, threading
port, op, dur = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
end = time.time() + dur; n = [0]; lock = threading.Lock()
def w():
    while time.time() < end:
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % op)
        b = b""
        while b"\r\n\r\n" not in b: b += s.recv(4096)
        s.sendall(b"GET /small HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        while s.recv(65536): pass
        s.close()
        with lock: n[0] += 1
ts = [threading.Thread(target=w) for _ in range(8)]; [t.start() for t in ts]; [t.join() for t in ts]
print(round(n[0] / dur))
PY
}
bulk() { curl -s -o /dev/null -w '%{speed_download}' "$@" http://127.0.0.1:$OP/bulk; }
bulk_connect() { curl -s -o /dev/null -w '%{speed_download}' -p "$@" http://127.0.0.1:$OP/bulk; }

read D_KA D_P99 < <(rps $URL); read D_CL D_CL_P99 < <(rps -s $T/direct_close.lua $URL)
D_BULK=$(bulk)
# curl's speeds are bytes per second, possibly with decimals: bc would print 0 for them.
mbs() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1000000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
# p99: the latency of each run's slowest 1 % of requests, kept alive and with Connection: close.
printf '%-10s %12s %8s %12s %8s %12s %12s %12s\n' peer keepalive/s p99 close/s p99 connect/s \
  bulkGET_MB/s bulkCONN_MB/s
printf '%-10s %12s %8s %12s %8s %12s %12s %12s\n' direct "$D_KA" "$D_P99" "$D_CL" "$D_CL_P99" - \
  "$(mbs $D_BULK)" -
for peer in corvan:$CP tinyproxy:$TP squid:$SP; do
  name=${peer%%:*}; port=${peer##*:}
  read KA P99 < <(rps -s $T/abs.lua http://127.0.0.1:$port)
  read CL CL_P99 < <(rps -s $T/close.lua http://127.0.0.1:$port)
  TN=$(tunnels $port || echo 0)
  BG=$(bulk -x http://127.0.0.1:$port); BC=$(bulk_connect -x http://127.0.0.1:$port || echo 0)
  printf '%-10s %12s %8s %12s %8s %12s %12s %12s\n' $name "$KA ($(ratio $KA $D_KA))" "$P99" \
    "$CL ($(ratio $CL $D_CL))" "$CL_P99" "$TN" "$(mbs $BG) ($(ratio $BG $D_BULK))" \
    "$(mbs $BC) ($(ratio $BC $D_BULK))"
done
# Memory of IDLE_TUNNELS idle open tunnels through corvan: RSS growth per tunnel.
R0=$(awk '/VmRSS/{print $2}' /proc/$CPID/status)
python3 - $CP $OP $IDLE_TUNNELS $T/open <<'PY' & HOLD=$!
import socket, sys, time
port, op, n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]); socks = []
for _ in range(n):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % op); s.recv(4096); socks.append(s)
open(sys.argv[4], "w").close(); time.sleep(3)
PY
for _ in $(seq 300); do [ -f $T/open ] && break; sleep 0.1; done; sleep 1
R1=$(awk '/VmRSS/{print $2}' /proc/$CPID/status)
echo "corvan: $IDLE_TUNNELS idle tunnels: RSS +$(( R1 - R0 )) KiB, $(( (R1 - R0) * 1024 / IDLE_TUNNELS )) bytes per tunnel"
wait $HOLD
