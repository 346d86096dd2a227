#!/usr/bin/env bash
# GET /api/health with "Connection: close" on every request (the server's one
# request per connection) against our HTTP server and against nginx (one
# worker, keepalive_timeout 0, a small JSON file), both on loopback, in the
# same run. Prints both rates and our rate divided by nginx's.
#   bench/http_vs_nginx.sh [seconds per run, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

need=()
command -v wrk >/dev/null || need+=(wrk)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
fi

if [ ! -x build/default/bench/bench_http_health ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target bench_http_health >/dev/null
fi

work="$(mktemp -d)"
ours_pid=""; nginx_pid=""
cleanup() {
  [ -n "$ours_pid" ] && kill "$ours_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Ours: the server prints its port and serves until its input closes.
mkfifo "$work/ours.in"
build/default/bench/bench_http_health <"$work/ours.in" >"$work/ours.port" &
ours_pid=$!
exec 3>"$work/ours.in"
for _ in $(seq 100); do [ -s "$work/ours.port" ] && break; sleep 0.05; done
ours_port="$(head -n1 "$work/ours.port")"
body="$(curl -s "http://127.0.0.1:$ours_port/api/health")"

# nginx: the same body as a static file.
nginx_port="$(free_port)"
mkdir -p "$work/www/api" "$work/nginx"
printf '%s' "$body" >"$work/www/api/health"
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    default_type application/json;
  }
}
CONF
/usr/sbin/nginx -c "$work/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$nginx_port/api/health" >/dev/null && break; sleep 0.05; done

rate() {  # url -> requests per second
  wrk -t2 -c50 -d"${seconds}s" -H 'Connection: close' "$1" | awk '/^Requests\/sec:/ { print $2 }'
}
ours="$(rate "http://127.0.0.1:$ours_port/api/health")"
nginx="$(rate "http://127.0.0.1:$nginx_port/api/health")"
printf 'ours  (HTTPServer)       %10.0f req/s\n' "$ours"
printf 'nginx (1 worker)         %10.0f req/s\n' "$nginx"
awk -v a="$ours" -v b="$nginx" 'BEGIN { printf "ratio ours/nginx         %10.2f\n", a / b }'
