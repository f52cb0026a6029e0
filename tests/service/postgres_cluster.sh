#!/bin/sh
# A throw-away PostgreSQL cluster for the service's tests and load figures, from Debian's
# postgresql package (`make deps`): data and socket in a fresh folder under /tmp, no TCP, trust
# authentication for the superuser "brackenfold". PostgreSQL refuses to run as root, so as root
# the server runs as the unprivileged user postgres (made by the package), or bf-postgres, made
# here when neither exists.
#
#   postgres_cluster.sh init STATE [-c name=value ...]   a new cluster, started (an old one in STATE is removed)
#   postgres_cluster.sh halt STATE                       stops the server, keeps the data
#   postgres_cluster.sh start STATE                      starts it again
#   postgres_cluster.sh remove STATE                     stops it and removes everything
#
# STATE is a folder of the caller's; STATE/conninfo holds the location to give `--db`,
# STATE/cluster the folder under /tmp.
set -eu

usage() { echo "usage: $0 init|halt|start|remove STATE [-c name=value ...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
cmd=$1
state=$2
shift 2

bindir=$(pg_config --bindir 2>/dev/null || true)
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
fi
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  echo "$0: PostgreSQL's initdb is missing: run make deps (Debian's postgresql package)" >&2
  exit 1
fi

user=
if [ "$(id -u)" = 0 ]; then
  if id postgres >/dev/null 2>&1; then
    user=postgres
  else
    id bf-postgres >/dev/null 2>&1 ||
      useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin bf-postgres
    user=bf-postgres
  fi
fi

as_server() {
  if [ -n "$user" ]; then
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups -- "$@"
  else
    "$@"
  fi
}

cluster() { cat "$state/cluster" 2>/dev/null || true; }

halt() {
  dir=$(cluster)
  if [ -n "$dir" ] && [ -f "$dir/data/postmaster.pid" ]; then
    as_server "$bindir/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
  fi
}

start() {
  dir=$(cluster)
  [ -n "$dir" ] && [ -d "$dir/data" ] || { echo "$0: no cluster in $state" >&2; exit 1; }
  if ! as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null; then
    echo "$0: PostgreSQL did not start; its log:" >&2
    cat "$dir/server.log" >&2 || true
    exit 1
  fi
}

case $cmd in
  init)
    halt
    old=$(cluster)
    [ -n "$old" ] && rm -rf "$old"
    mkdir -p "$state"
    dir=$(mktemp -d /tmp/bf-postgres.XXXXXX)
    chmod 755 "$dir"
    [ -n "$user" ] && chown "$user" "$dir"
    echo "$dir" >"$state/cluster"
    if ! as_server "$bindir/initdb" -D "$dir/data" -U brackenfold --auth=trust -E UTF8 --locale=C.UTF-8 \
        --no-sync >"$dir/initdb.log" 2>&1; then
      echo "$0: initdb failed:" >&2
      cat "$dir/initdb.log" >&2
      exit 1
    fi
    {
      echo "listen_addresses = ''"
      echo "unix_socket_directories = '$dir'"
      echo "max_connections = 300"
      echo "fsync = off"
      echo "full_page_writes = off"
      echo "synchronous_commit = off"
      # Further settings from the command line: -c name=value
      while [ $# -ge 2 ] && [ "$1" = -c ]; do
        echo "$2" | sed 's/=/ = /'
        shift 2
      done
    } >>"$dir/data/postgresql.conf"
    start
    echo "postgresql:///postgres?host=$dir&user=brackenfold" >"$state/conninfo"
    ;;
  halt) halt ;;
  start) start ;;
  remove)
    halt
    dir=$(cluster)
    [ -n "$dir" ] && rm -rf "$dir"
    rm -f "$state/cluster" "$state/conninfo"
    ;;
  *) usage ;;
esac
