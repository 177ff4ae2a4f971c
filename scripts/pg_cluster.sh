#!/usr/bin/env bash
# A PostgreSQL cluster in a folder of its own, for the scoreboard server,
# its tests and its benchmarks. It listens on no TCP port, only on a Unix
# socket in FOLDER, and trusts local connections, so FOLDER is its only door.
# As root the cluster runs as the unprivileged user postgres (FOLDER and its
# parents must let that user in).
#   scripts/pg_cluster.sh start FOLDER [--fast]   make it once, start it, print its URL
#   scripts/pg_cluster.sh stop FOLDER
#   scripts/pg_cluster.sh restart FOLDER
#   scripts/pg_cluster.sh url FOLDER
#   scripts/pg_cluster.sh status FOLDER           exit 0 when it runs
# Starting a running cluster only prints its URL, so any step may be run again.
# --fast (tests) turns off fsync: a crash of the machine may lose the cluster,
# a stop or a kill of PostgreSQL loses nothing committed.
set -euo pipefail
bin=${PG_BIN:-/usr/lib/postgresql/15/bin}
action=${1:-}
folder=${2:-}
if [ -z "$action" ] || [ -z "$folder" ]; then
  echo "usage: $0 start|stop|restart|status|url FOLDER [--fast]" >&2
  exit 2
fi
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
data=$folder/data
url="postgresql://velmora@/velmora?host=$folder"

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

running() { [ -f "$data/postmaster.pid" ] && as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; }

case "$action" in
  url) echo "$url"; exit 0 ;;
  status) running; exit ;;
  stop) as_owner "$bin/pg_ctl" -D "$data" -m fast -w -t 60 stop >/dev/null; exit 0 ;;
  restart) as_owner "$bin/pg_ctl" -D "$data" -m fast -w -t 60 -l "$folder/postgresql.log" restart >/dev/null; exit 0 ;;
  start) ;;
  *) echo "$0: unknown action \"$action\"" >&2; exit 2 ;;
esac

if running; then
  echo "$url"
  exit 0
fi
fast=no
[ "${3:-}" = --fast ] && fast=yes
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$folder"
  if ! runuser -u postgres -- test -w "$folder"; then
    echo "$0: the user postgres cannot write in $folder (a parent folder shuts it out)" >&2
    exit 1
  fi
fi
chmod 700 "$folder"
if [ ! -f "$data/PG_VERSION" ]; then
  as_owner "$bin/initdb" -D "$data" -U velmora -A trust -E UTF8 --locale=C --no-sync >"$folder/initdb.log" 2>&1 ||
    { cat "$folder/initdb.log" >&2; exit 1; }
  {
    echo "listen_addresses = ''"
    echo "unix_socket_directories = '$folder'"
    echo "max_connections = 200"
    echo "shared_buffers = 256MB"
    if [ "$fast" = yes ]; then echo "fsync = off"; echo "synchronous_commit = off"; echo "full_page_writes = off"; fi
  } >>"$data/postgresql.conf"
  made=yes
else
  made=no
fi
as_owner "$bin/pg_ctl" -D "$data" -l "$folder/postgresql.log" -w -t 60 start >/dev/null ||
  { tail -20 "$folder/postgresql.log" >&2; exit 1; }
if [ "$made" = yes ]; then
  as_owner "$bin/createdb" -h "$folder" -U velmora velmora
fi
echo "$url"
