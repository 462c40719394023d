# A TLS front server in front of the local chart service, as a CDN serves
# production files: Debian's nginx, speaking HTTP/2 and HTTP/1.1 (chosen by
# ALPN), proxying every request to the service's plain port. Sourced by the
# bench and the demo; needs nginx (scripts/packages.sh FRONT_PACKAGES).
#
#   start_front SERVICE_BASE TLS_DIR WORK_DIR   sets front_base (https://127.0.0.1:PORT)
#   stop_front
#   front_protocols                             "HTTP/2.0=N HTTP/1.1=M" since the last call
#
# The service writes its server certificate and key into TLS_DIR (--tls-dir),
# so the front is trusted through the same throw-away authority (ca.pem).
# nginx runs as the calling user, in the foreground of its own process,
# with every file it keeps under WORK_DIR/front; at niceness FRONT_NICE when
# set (the bench: it stands in for a CDN's far-away edge, as the service for
# the remote service).

front_pid=
front_base=
front_dir=

start_front() {
    local service=$1 tls=$2 dir=$3/front port
    front_dir=$dir
    mkdir -p "$dir/tmp"
    # A free port: the kernel picks one for a throw-away listener.
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$dir/nginx.conf" <<EOF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
daemon off;
events { worker_connections 1024; }
http {
    # One word per request, the protocol it came over: the bench counts them.
    log_format protocol '\$server_protocol';
    access_log $dir/access.log protocol;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    upstream service {
        server ${service#http://};
        keepalive 32;
    }
    server {
        listen 127.0.0.1:$port ssl http2;
        ssl_certificate $tls/server.pem;
        ssl_certificate_key $tls/server-key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        keepalive_requests 100000;
        location / {
            proxy_pass http://service;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header X-Forwarded-Base https://127.0.0.1:$port;
            # Bodies pass straight through, as a CDN edge streams a cached
            # file: nothing is spooled to the front's disk.
            proxy_buffering off;
            proxy_request_buffering off;
            proxy_read_timeout 300s;
        }
    }
}
EOF
    nice -n "${FRONT_NICE:-0}" /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" \
        2>>"$dir/error.log" &
    front_pid=$!
    local _
    for _ in $(seq 100); do
        if curl -s -o /dev/null --cacert "$tls/ca.pem" "https://127.0.0.1:$port/" 2>/dev/null; then
            front_base=https://127.0.0.1:$port
            return 0
        fi
        kill -0 "$front_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "error=the HTTP/2 front did not start (see $dir/error.log)" >&2
    cat "$dir/error.log" >&2 || true
    return 1
}

stop_front() {
    if [ -n "$front_pid" ]; then
        kill "$front_pid" 2>/dev/null || true
        wait "$front_pid" 2>/dev/null || true
        front_pid=
    fi
}

front_protocols() {
    local log=$front_dir/access.log
    [ -f "$log" ] || return 0
    sort "$log" | uniq -c | awk '{ printf "%s%s=%s", (NR > 1 ? " " : ""), $2, $1 } END { print "" }'
    : >"$log"
}
