# Services the tests talk to, started for one test run and stopped after it.
# Sourced by scripts/test.sh (qov_services_start / qov_services_stop); can also
# be run by hand: bash scripts/services.sh start|stop|status
#
#  - nginx on 127.0.0.1 serving build/services/www (ranged reads byte-exact);
#  - the fault server tests/peers/fault_server.py on 127.0.0.1 serving the same
#    folder with chosen misbehaviours (404, 200 without range, short body,
#    stalled reply, dropped connection).
#
# Both take free ports. The tests find them through the environment
# (QOV_HTTP_PORT, QOV_FAULT_PORT, QOV_HTTP_ROOT) or, when those are not set,
# through the file build/services/ports.txt (lines "name=value"), which the
# test programs look up from their own folder (..\..\services\ports.txt).
# QOV_REQUIRE_SERVICES=1 makes the HTTP tests fail instead of skipping when
# the services cannot be reached.

qov_services_dir() {
  local here
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  echo "${QOV_SERVICES_DIR:-$here/build/services}"
}

qov__free_port() {
  python3 - <<'PY'
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
PY
}

qov__nginx() {
  command -v nginx 2>/dev/null || echo /usr/sbin/nginx
}

qov__wait_port() {
  local port="$1" i
  for i in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

qov_services_start() {
  local dir here http_port fault_port user_line=""
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  dir="$(qov_services_dir)"
  qov_services_stop >/dev/null 2>&1 || true
  mkdir -p "$dir/www" "$dir/tmp" "$dir/logs"
  http_port="${QOV_HTTP_PORT_WANTED:-$(qov__free_port)}"
  if [ "$(id -u)" = 0 ]; then user_line="user root;"; fi

  cat >"$dir/nginx.conf" <<CONF
$user_line
worker_processes 2;
daemon on;
pid $dir/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 512; }
http {
  types { }
  default_type application/octet-stream;
  # One line per request: status, bytes sent (headers and body), body bytes,
  # request bytes, the request line and its range (the benchmark counts them).
  log_format qov '\$status \$bytes_sent \$body_bytes_sent \$request_length "\$request" "\$http_range"';
  access_log $dir/logs/access.log qov;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  sendfile on;
  keepalive_timeout 30;
  etag off;
  server {
    listen 127.0.0.1:$http_port;
    root $dir/www;
    location / { }
  }
}
CONF
  "$(qov__nginx)" -c "$dir/nginx.conf" -p "$dir" -e "$dir/logs/error.log" \
    || { echo "services: nginx did not start" >&2; return 1; }
  qov__wait_port "$http_port" || { echo "services: nginx not listening on $http_port" >&2; return 1; }

  rm -f "$dir/fault.port"
  python3 "$here/tests/peers/fault_server.py" --port 0 --root "$dir/www" \
    --port-file "$dir/fault.port" >"$dir/logs/fault.log" 2>&1 &
  echo $! >"$dir/fault.pid"
  local i
  for i in $(seq 100); do [ -s "$dir/fault.port" ] && break; sleep 0.1; done
  fault_port="$(cat "$dir/fault.port" 2>/dev/null || true)"
  [ -n "$fault_port" ] && qov__wait_port "$fault_port" \
    || { echo "services: fault server did not start" >&2; return 1; }

  export QOV_HTTP_PORT="$http_port" QOV_FAULT_PORT="$fault_port" QOV_HTTP_ROOT="$dir/www"
  export QOV_REQUIRE_SERVICES=1
  printf 'http_port=%s\nfault_port=%s\nhttp_root=%s\n' "$http_port" "$fault_port" "$dir/www" \
    >"$dir/ports.txt"
  echo "services: nginx on 127.0.0.1:$http_port, fault server on 127.0.0.1:$fault_port, root $dir/www"
}

qov_services_stop() {
  local dir pid
  dir="$(qov_services_dir)"
  if [ -f "$dir/nginx.pid" ]; then
    pid="$(cat "$dir/nginx.pid" 2>/dev/null || true)"
    if ! "$(qov__nginx)" -c "$dir/nginx.conf" -p "$dir" -e "$dir/logs/error.log" -s stop 2>/dev/null; then
      if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    fi
    rm -f "$dir/nginx.pid"
  fi
  if [ -f "$dir/fault.pid" ]; then
    pid="$(cat "$dir/fault.pid" 2>/dev/null || true)"
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    rm -f "$dir/fault.pid"
  fi
  rm -f "$dir/ports.txt" "$dir/fault.port"
  unset QOV_HTTP_PORT QOV_FAULT_PORT QOV_HTTP_ROOT QOV_REQUIRE_SERVICES
  return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) qov_services_start ;;
    stop) qov_services_stop ;;
    status) cat "$(qov_services_dir)/ports.txt" 2>/dev/null || echo "services: not running" ;;
    *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
  esac
fi
