#!/usr/bin/env bash
# A PostgreSQL server of the tests' own, in a folder, on a free loopback port.
#   pg_cluster.sh start DIR   makes the cluster when DIR names none, starts it and
#                             prints its URL (postgresql://qxline@127.0.0.1:PORT/qxline)
#   pg_cluster.sh stop DIR    stops it (the data stays, for a later start)
#   pg_cluster.sh remove DIR  stops it and removes its files
#   pg_cluster.sh url DIR     prints the URL
# The cluster's files are in a folder of their own under /tmp, named in
# DIR/cluster: as root the server runs as the 'postgres' system user (the
# server refuses root), which may not reach into DIR. Exit 77 when no server
# binaries are installed.
set -euo pipefail
cmd="${1:?start|stop|url}"
dir="${2:?folder}"
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "no PostgreSQL server binaries (Debian package postgresql)" >&2
  exit 77
fi
as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
url() { echo "postgresql://qxline@127.0.0.1:$(cat "$pg/port")/qxline"; }
pg=$(cat "$dir/cluster" 2>/dev/null || true)

case "$cmd" in
  start)
    if [ -z "$pg" ]; then
      pg=$(mktemp -d /tmp/qxline-pg.XXXXXX)
      [ "$(id -u)" = 0 ] && chown postgres: "$pg"
      echo "$pg" >"$dir/cluster"
      as_owner "$bin/initdb" -D "$pg/data" -U qxline -A trust -E UTF8 --no-locale >/dev/null
      # A port nothing listens on now; the server takes it a moment later.
      /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' >"$pg/port"
      fresh=1
    fi
    port=$(cat "$pg/port")
    as_owner "$bin/pg_ctl" -D "$pg/data" -l "$pg/server.log" -w -t 60 \
      -o "-c listen_addresses=127.0.0.1 -p $port -k $pg -c fsync=off -c full_page_writes=off" \
      start >/dev/null
    if [ "${fresh:-0}" = 1 ]; then
      "$bin/psql" -q -h 127.0.0.1 -p "$port" -U qxline -d postgres -c 'CREATE DATABASE qxline' >/dev/null
    fi
    url
    ;;
  stop)
    as_owner "$bin/pg_ctl" -D "$pg/data" -w -t 60 -m fast stop >/dev/null
    ;;
  remove)
    if [ -n "$pg" ]; then
      as_owner "$bin/pg_ctl" -D "$pg/data" -w -t 60 -m immediate stop >/dev/null 2>&1 || true
      rm -rf "$pg" "$dir/cluster"
    fi
    ;;
  url)
    url
    ;;
  *)
    echo "unknown command $cmd" >&2
    exit 2
    ;;
esac
