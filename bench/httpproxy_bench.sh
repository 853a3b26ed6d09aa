#!/usr/bin/env bash
# Rough loopback figures of the HTTP proxy against an nginx origin, each as a ratio to direct,
# with tinyproxy and squid (minimal configurations) in the same rows. Not a test: the machine
# may be shared, so run it twice and read the ratios, not the absolute numbers.
#   bash bench/httpproxy_bench.sh [build-dir]     (needs wrk, nginx, tinyproxy, squid, curl)
set -euo pipefail
BUILD=${1:-build}
BIN=$(realpath "$BUILD/corvan-proxy")
DUR=${DUR:-5}
T=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; [ -f $T/nginx.pid ] && kill $(cat $T/nginx.pid) 2>/dev/null; rm -rf $T' EXIT
free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (echo >/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# Origin: nginx serving a small file and a 200 MB file over HTTP and HTTPS-less TCP.
OP=$(free_port); mkdir -p $T/www; echo small > $T/www/small; head -c 200000000 /dev/zero > $T/www/bulk
cat > $T/nginx.conf <<CONF
worker_processes 1; pid $T/nginx.pid; error_log $T/nginx.err; daemon on;
events { worker_connections 4096; }
http { access_log off; keepalive_requests 1000000;
  server { listen 127.0.0.1:$OP; root $T/www; } }
CONF
nginx -c $T/nginx.conf; wait_port $OP

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
rps() { wrk -t2 -c32 -d${DUR}s --latency "$@" 2>/dev/null | awk '/Requests\/sec/{r=$2} / 99%/{p=$2} END{print r, p}'; }
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

read D_KA D_P99 < <(rps $URL); read D_CL _ < <(rps -s $T/direct_close.lua $URL)
D_BULK=$(bulk)
printf '%-10s %12s %8s %12s %12s %12s %12s\n' peer keepalive/s p99 close/s connect/s bulkGET_MB/s bulkCONN_MB/s
printf '%-10s %12s %8s %12s %12s %12s %12s\n' direct "$D_KA" "$D_P99" "$D_CL" - "$(echo "$D_BULK/1000000" | bc)" -
for peer in corvan:$CP tinyproxy:$TP squid:$SP; do
  name=${peer%%:*}; port=${peer##*:}
  read KA P99 < <(rps -s $T/abs.lua http://127.0.0.1:$port)
  read CL _ < <(rps -s $T/close.lua http://127.0.0.1:$port)
  TN=$(tunnels $port || echo 0)
  BG=$(bulk -x http://127.0.0.1:$port); BC=$(bulk_connect -x http://127.0.0.1:$port || echo 0)
  ratio() { echo "scale=2; $1/$2" | bc; }
  printf '%-10s %12s %8s %12s %12s %12s %12s\n' $name "$KA ($(ratio $KA $D_KA))" "$P99" \
    "$CL ($(ratio $CL $D_CL))" "$TN" "$(echo "$BG/1000000" | bc) ($(ratio $BG $D_BULK))" \
    "$(echo "$BC/1000000" | bc) ($(ratio $BC $D_BULK))"
done
# Memory of 1,000 idle open tunnels through corvan: RSS growth / 1000.
R0=$(awk '/VmRSS/{print $2}' /proc/$CPID/status)
python3 - $CP $OP <<'PY' &
import socket, sys, time
port, op = int(sys.argv[1]), int(sys.argv[2]); socks = []
for _ in range(1000):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % op); s.recv(4096); socks.append(s)
open("/dev/stdout", "w").write("open\n"); time.sleep(5)
PY
sleep 4; R1=$(awk '/VmRSS/{print $2}' /proc/$CPID/status)
echo "corvan: 1000 idle tunnels: RSS +$(( (R1 - R0) ))  KiB, $(( (R1 - R0) * 1024 / 1000 )) bytes per tunnel"
wait
