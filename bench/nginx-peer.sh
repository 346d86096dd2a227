# Sourced by the bench scripts that measure the host beside nginx: one
# worker, no access log, every temporary path inside the run's folder.
#
#   nginx_peer_conf WORK PORT DEFAULT_TYPE WORKER_CONNECTIONS [HTTP DIRECTIVE]...
#
# writes WORK/nginx.conf serving WORK/www on 127.0.0.1:PORT; each extra
# argument is one directive of the http block ("sendfile on").
nginx_peer_conf() {
  local work="$1" port="$2" type="$3" connections="$4"
  shift 4
  mkdir -p "$work/nginx"
  {
    cat <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections $connections; }
http {
  access_log off;
CONF
    local directive
    for directive in "$@"; do echo "  $directive;"; done
    cat <<CONF
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    default_type $type;
  }
}
CONF
  } >"$work/nginx.conf"
}
