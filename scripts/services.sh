# Starts throwaway PostgreSQL and Redis servers on loopback for the tests,
# through scripts/launch_servers.py, and stops them again. Sourced by
# scripts/test and scripts/sanitize; start_services exports
#   TAVRIN_TEST_POSTGRES  libpq conninfo of the PostgreSQL server
#   TAVRIN_TEST_REDIS     "host:...,port:...,db:0" of the Redis server
# for each server that started; start_redis_cluster, called after it, adds
#   TAVRIN_TEST_REDIS_CLUSTER  "host:...,port:...,db:0,cluster:yes" of a seed
#                              node of six (three masters, a replica each). A server that cannot start fails the run when
# CI=true; otherwise its tests are skipped, loudly. The launcher stops its
# servers when this shell ends, however it ends: its input closes then.

_svc_pid="" _svc_in="" _svc_out=""

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

_start_service() {  # kind name variable
  local answer="" status port pid conn
  echo "$1 $1" >&"$_svc_in"
  read -r answer <&"$_svc_out" || answer="error the launcher ended"
  read -r status port pid conn <<<"$answer"
  if [ "$status" != ok ]; then
    _service_failed "$2" "${answer#* }"
    return 0
  fi
  export "$3=$conn"
  echo "services: $2 on 127.0.0.1:$port"
}

start_services() {  # python
  coproc _SVC { exec "$1" "$(dirname "${BASH_SOURCE[0]}")/launch_servers.py"; }
  _svc_pid="$_SVC_PID" _svc_out="${_SVC[0]}" _svc_in="${_SVC[1]}"
  trap stop_services EXIT
  _start_service postgres PostgreSQL TAVRIN_TEST_POSTGRES
  _start_service redis Redis TAVRIN_TEST_REDIS
}

start_redis_cluster() {
  local answer="" status port rest
  echo "cluster redis_cluster" >&"$_svc_in"
  read -r answer <&"$_svc_out" || answer="error the launcher ended"
  read -r status port rest <<<"$answer"
  if [ "$status" != ok ]; then
    _service_failed "Redis Cluster" "${answer#* }"
    return 0
  fi
  export TAVRIN_TEST_REDIS_CLUSTER="host:127.0.0.1,port:$port,db:0,cluster:yes"
  echo "services: Redis Cluster (3 masters, 3 replicas) seeded at 127.0.0.1:$port"
}

stop_services() {
  if [ -n "$_svc_pid" ]; then
    exec {_svc_in}>&-
    wait "$_svc_pid" || true
    _svc_pid=""
  fi
}
