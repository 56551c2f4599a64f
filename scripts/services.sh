# Starts throwaway PostgreSQL and Redis servers on loopback for the tests and
# stops them again. Sourced by scripts/test; start_services exports
#   TAVRIN_TEST_POSTGRES  libpq conninfo of the PostgreSQL server
#   TAVRIN_TEST_REDIS     "host:...,port:...,db:0" of the Redis server
# for each server that started. A server that cannot start fails the run when
# CI=true; otherwise its tests are skipped, loudly.

_svc_dir=""
_pg_bin=""
_pg_data=""
_redis_port=""

_free_port() {
  "$1" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

_as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

_wait_port() {  # host port tries
  local i
  for ((i = 0; i < $3; i++)); do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

_service_failed() {
  echo "################################################################" >&2
  echo "WARNING: $1 could not start: $2" >&2
  if [ "${CI:-}" = "true" ]; then
    echo "CI=true: failing the run." >&2
    echo "################################################################" >&2
    exit 1
  fi
  echo "The tests that need $1 will be SKIPPED." >&2
  echo "################################################################" >&2
}

_start_postgres() {
  local python="$1" port
  _pg_bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  if [ -z "$_pg_bin" ] || [ ! -x "$_pg_bin/pg_ctl" ]; then
    _service_failed PostgreSQL "no server binaries under /usr/lib/postgresql"
    return 0
  fi
  _pg_data="$_svc_dir/pg"
  mkdir -p "$_pg_data"
  [ "$(id -u)" -eq 0 ] && chown -R postgres "$_svc_dir"
  port="$(_free_port "$python")"
  # The postgres user must be able to enter the working directory.
  if ! (cd "$_svc_dir" && _as_postgres "$_pg_bin/initdb" -D "$_pg_data" -A trust -U postgres \
          >"$_svc_dir/initdb.log" 2>&1); then
    _service_failed PostgreSQL "initdb failed: $(tail -n 3 "$_svc_dir/initdb.log")"
    return 0
  fi
  if ! (cd "$_svc_dir" && _as_postgres "$_pg_bin/pg_ctl" -D "$_pg_data" -l "$_svc_dir/pg.log" -w \
          -o "-c listen_addresses=127.0.0.1 -p $port -k $_svc_dir -c fsync=off" start \
          >/dev/null 2>&1) || ! _wait_port 127.0.0.1 "$port" 50; then
    _service_failed PostgreSQL "$(tail -n 3 "$_svc_dir/pg.log" 2>/dev/null)"
    return 0
  fi
  export TAVRIN_TEST_POSTGRES="host=127.0.0.1 port=$port user=postgres dbname=postgres"
  echo "services: PostgreSQL on 127.0.0.1:$port"
}

_start_redis() {
  local python="$1" port
  if ! command -v redis-server >/dev/null 2>&1; then
    _service_failed Redis "redis-server is not installed"
    return 0
  fi
  port="$(_free_port "$python")"
  mkdir -p "$_svc_dir/redis"
  if ! redis-server --port "$port" --bind 127.0.0.1 --daemonize yes --save '' --appendonly no \
         --dir "$_svc_dir/redis" --pidfile "$_svc_dir/redis/redis.pid" \
         --logfile "$_svc_dir/redis/redis.log" >/dev/null 2>&1 || ! _wait_port 127.0.0.1 "$port" 50; then
    _service_failed Redis "$(tail -n 3 "$_svc_dir/redis/redis.log" 2>/dev/null)"
    return 0
  fi
  _redis_port="$port"
  export TAVRIN_TEST_REDIS="host:127.0.0.1,port:$port,db:0"
  echo "services: Redis on 127.0.0.1:$port"
}

start_services() {  # python
  _svc_dir="$(mktemp -d /tmp/tavrin-services.XXXXXX)"
  chmod 755 "$_svc_dir"
  trap stop_services EXIT
  _start_postgres "$1"
  _start_redis "$1"
}

stop_services() {
  if [ -n "$_redis_port" ]; then
    redis-cli -p "$_redis_port" shutdown nosave >/dev/null 2>&1 || true
    _redis_port=""
  fi
  if [ -n "$_pg_data" ] && [ -f "$_pg_data/postmaster.pid" ]; then
    (cd "$_svc_dir" && _as_postgres "$_pg_bin/pg_ctl" -D "$_pg_data" -m immediate stop \
       >/dev/null 2>&1) || true
  fi
  _pg_data=""
  if [ -n "$_svc_dir" ]; then rm -rf "$_svc_dir"; _svc_dir=""; fi
}
