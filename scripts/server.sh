#!/usr/bin/env bash
# Starts the scoreboard server on a PostgreSQL cluster of its own in FOLDER
# (made the first time, started when it is not running), listening on
# ADDRESS:PORT (127.0.0.1:8029 unless given). Extra options go to the server.
#   scripts/server.sh BUILD FOLDER [ADDRESS:PORT] [velmora_server options...]
# Stop the server with Ctrl-C; the cluster keeps running until
#   scripts/pg_cluster.sh stop FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD FOLDER [ADDRESS:PORT] [velmora_server options...]" >&2
  exit 2
fi
build=$1
folder=$2
listen=${3:-127.0.0.1:8029}
shift $(( $# < 3 ? $# : 3 ))
server=$build/velmora_server
[ -x "$server" ] || { echo "$0: no $server; build it first (cmake --build $build --target velmora_server velmora_verify)" >&2; exit 1; }
# Starts the cluster, or only names it when it runs already.
url=$("$here/pg_cluster.sh" start "$folder")
echo "server.sh: PostgreSQL at $url" >&2
exec "$server" --database "$url" --listen "$listen" --workers "${WORKERS:-$(nproc)}" "$@"
