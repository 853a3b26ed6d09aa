# shellcheck shell=bash disable=SC2034  # the *_PID variables set here are the callers'
# Sourced by the relay benchmarks: starting our program and the mapping peers, each listening
# on 127.0.0.1 only with its files in the caller's temp folder $TMP, and stopping everything
# started. Mappings are given as LISTEN:DEST port pairs, both on 127.0.0.1.

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export PYTHONPATH="$BENCH_DIR${PYTHONPATH:+:$PYTHONPATH}"
# benchlib.py is imported from the source tree: no compiled copy is left beside it.
export PYTHONDONTWRITEBYTECODE=1
# One worker per core for the peers that have several (HAProxy's threads, its own default;
# nginx's worker processes, set to match): each may use the whole machine, as ours does.
CORES=$(nproc)
NGINX_STREAM_MODULE=/usr/lib/nginx/modules/ngx_stream_module.so
# Descriptors a peer keeps for itself (listeners, logs, its event loops) out of its limit.
PEER_DESCRIPTOR_RESERVE=256
# A hard limit of "unlimited" is counted as this many descriptors when sizing the peers.
UNLIMITED_DESCRIPTORS=1048576

# Everything started here, and so every peer, may open as many files as the machine allows.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
FILE_LIMIT=$(ulimit -n)
[ "$FILE_LIMIT" = unlimited ] && FILE_LIMIT=$UNLIMITED_DESCRIPTORS
PIDS=()

need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/setup.sh --tests)" >&2; exit 1; }
    done
}
need_nginx_stream() {
    need_tools nginx
    [ -f "$NGINX_STREAM_MODULE" ] ||
        { echo "nginx's stream module is not installed (scripts/setup.sh --tests)" >&2; exit 1; }
}

# Starts a peer in the background, remembered for stop_started.
start() { "$@" & PIDS+=($!); }
stop_started() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# start_corvan DIR BIN SOCKS_PORT MAX_CONNECTIONS PAIR...: our program headless, with its
# SOCKS5 service and a TCP mapping per pair; its settings and logs in DIR, its standard error
# in DIR/proxy.log. Sets OURS_PID.
start_corvan() {
    local dir=$1 bin=$2 socks=$3 max=$4 i=0 pair
    shift 4
    mkdir -p "$dir/data/Corvan"
    {
        printf '[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=%s\nMaxConnections=%s\n' \
            "$socks" "$max"
        # No status page: two of ours run at once here, and it would take the same port.
        printf '[Proxy-Status]\nEnabled=0\n'
        printf '[Proxy-PortMapper]\nItemCount=%d\n' $#
        for pair; do
            printf '[Proxy-PortMapper.Items.%d]\nEnabled=1\nServerProtocol=3\nServerIP=127.0.0.1\nServerPort=%s\nDestHost=127.0.0.1\nDestPort=%s\n' \
                "$i" "${pair%%:*}" "${pair##*:}"
            i=$((i + 1))
        done
    } > "$dir/data/Corvan/CorvanProxy.ini"
    LOCALAPPDATA="$dir/data" XDG_CONFIG_HOME="$dir/config" HOME="$dir/home" \
        start "$bin" --headless 2> "$dir/proxy.log"
    OURS_PID=${PIDS[-1]}
}

# start_rinetd PAIR...: sets RINETD_PID.
start_rinetd() {
    local pair
    for pair; do
        printf '127.0.0.1 %s 127.0.0.1 %s\n' "${pair%%:*}" "${pair##*:}"
    done > "$TMP/rinetd.conf"
    start rinetd -f -c "$TMP/rinetd.conf" > /dev/null 2>&1
    RINETD_PID=${PIDS[-1]}
}

# start_haproxy PAIR...: TCP mode, one process in the foreground with one thread per core, as
# many connections as its descriptor limit holds (two each), idle tunnels kept for an hour.
# Sets HAPROXY_PID.
start_haproxy() {
    local maxconn=$(( (FILE_LIMIT - PEER_DESCRIPTOR_RESERVE) / 2 )) pair
    {
        printf 'global\n    nbthread %d\n    maxconn %d\n' "$CORES" "$maxconn"
        printf 'defaults\n    mode tcp\n    maxconn %d\n    timeout connect 10s\n' "$maxconn"
        printf '    timeout client 1h\n    timeout server 1h\n'
        for pair; do
            printf 'listen map%s\n    bind 127.0.0.1:%s\n    server far 127.0.0.1:%s\n' \
                "${pair%%:*}" "${pair%%:*}" "${pair##*:}"
        done
    } > "$TMP/haproxy.cfg"
    start haproxy -db -f "$TMP/haproxy.cfg" > "$TMP/haproxy.log" 2>&1
    HAPROXY_PID=${PIDS[-1]}
}

# start_nginx_stream PAIR...: nginx's stream module, a master in the foreground and one worker
# process per core, each with the whole descriptor limit; pid, log and temporary files under
# $TMP/nginx. Sets NGINX_PID (the master; the workers are its children).
start_nginx_stream() {
    local pair dir="$TMP/nginx"
    mkdir -p "$dir"
    {
        printf 'load_module %s;\ndaemon off;\nmaster_process on;\nworker_processes %d;\n' \
            "$NGINX_STREAM_MODULE" "$CORES"
        printf 'worker_rlimit_nofile %d;\npid %s/nginx.pid;\nerror_log %s/error.log;\n' \
            "$FILE_LIMIT" "$dir" "$dir"
        printf 'events { worker_connections %d; }\nstream {\n    proxy_timeout 1h;\n' \
            $(( FILE_LIMIT - PEER_DESCRIPTOR_RESERVE ))
        for pair; do
            printf '    server { listen 127.0.0.1:%s; proxy_pass 127.0.0.1:%s; }\n' \
                "${pair%%:*}" "${pair##*:}"
        done
        printf '}\n'
    } > "$dir/nginx.conf"
    start nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" > /dev/null 2>&1
    NGINX_PID=${PIDS[-1]}
}

# start_dante PORT COMMAND...: danted without logins on 127.0.0.1:PORT, passing each COMMAND
# (connect, udpassociate, udpreply, ...) between loopback addresses; config and log in $TMP.
# Sets DANTE_PID.
start_dante() {
    local port=$1 command
    shift
    {
        printf 'logoutput: %s/danted.log\ninternal: 127.0.0.1 port = %s\nexternal: 127.0.0.1\n' \
            "$TMP" "$port"
        printf 'clientmethod: none\nsocksmethod: none\n'
        printf 'user.privileged: root\nuser.unprivileged: nobody\n'
        printf 'client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n'
        for command; do
            printf 'socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: %s }\n' "$command"
        done
    } > "$TMP/danted.conf"
    start danted -f "$TMP/danted.conf" -p "$TMP/danted.pid" > /dev/null 2>&1
    DANTE_PID=${PIDS[-1]}
}

# Ends dante's workers (DANTE_PID's children, when it was started) before stop_started ends
# dante, so that their parent reaps them before it ends itself.
stop_dante_workers() {
    local p
    [ -n "${DANTE_PID:-}" ] || return 0
    for p in $(pgrep -P "$DANTE_PID" || true); do kill "$p" 2>/dev/null || true; done
    sleep 0.3
}
