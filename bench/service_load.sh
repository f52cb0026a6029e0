#!/bin/sh
# Load figures of the reference service, with wrk (Debian's package, `make deps`):
#
#   sh bench/service_load.sh [BUILD_DIR]         (default build; DURATION=seconds a run, default 10)
#
# For SQLite and PostgreSQL (a throw-away cluster), one and two processes (sharing the port with
# --reuse-port), NewPage over kept-alive connections and over a new connection per request
# ("Connection: close"), 64 connections, two wrk threads: requests per second, p50 and p99. Beside
# each, in the same run, the same processes answering a trivial request (a GET that is a plain 404:
# the HTTP floor of this server). Then kept-alive NewPage at 16 and at 256 connections, and the
# resident memory of one service process after each step of a million NewPage calls.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
bin=$(cd "$build" && pwd)/bin/brackenfold
duration=${DURATION:-10}
threads=${WRK_THREADS:-2}
[ -x "$bin" ] || { echo "$0: no $bin: build first (make build)" >&2; exit 1; }
command -v wrk >/dev/null || { echo "$0: wrk is missing: run make deps" >&2; exit 1; }

work=$(mktemp -d /tmp/bf-load.XXXXXX)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  sh "$here/../tests/service/postgres_cluster.sh" remove "$work/pg" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# The cluster as a deployment would have it: every commit reaches the disk.
sh "$here/../tests/service/postgres_cluster.sh" init "$work/pg" -c fsync=on -c synchronous_commit=on \
  -c full_page_writes=on >/dev/null
pg=$(cat "$work/pg/conninfo")
sqlite=$work/service.db

export BRACKENFOLD_SERVICE_HOST=127.0.0.1:8731 BRACKENFOLD_SERVICE_DOMAIN=brackenfold.test:8731

account() { echo "bench password" | "$bin" serve --add-account "$2" --db "$1"; }
sqlite_id=$(account "$sqlite" bench)
pg_id=$(account "$pg" bench)
"$bin" serve --set-rating example.com 7 --db "$sqlite" >/dev/null
"$bin" serve --set-rating example.com 7 --db "$pg" >/dev/null

# wrk's request scripts: NewPage as the toolbar sends it, and the trivial request.
script() {  # script FILE ACCOUNT CLOSE
  body=$("$bin" soap encode NewPage --account "$2" --domain http://example.com | sed 's/\\/\\\\/g; s/"/\\"/g')
  {
    echo "wrk.method = \"POST\""
    echo "wrk.body = \"$body\""
    echo "wrk.headers[\"Content-Type\"] = \"text/xml; charset=utf-8\""
    echo "wrk.headers[\"SOAPAction\"] = \"http://127.0.0.1:8731/BrackenfoldWS/NewPage\""
    [ "$3" = close ] && echo "wrk.headers[\"Connection\"] = \"close\""
    true
  } >"$1"
}
trivial() {  # trivial FILE CLOSE
  {
    echo "wrk.method = \"GET\""
    echo "wrk.path = \"/\""
    echo "wrk.headers[\"Host\"] = \"nothing.test\""
    [ "$2" = close ] && echo "wrk.headers[\"Connection\"] = \"close\""
    true
  } >"$1"
}
for s in sqlite pg; do
  eval id=\$${s}_id
  script "$work/$s-kept.lua" "$id" kept
  script "$work/$s-close.lua" "$id" close
done
trivial "$work/trivial-kept.lua" kept
trivial "$work/trivial-close.lua" close

# start DB N: N processes on one port; sets port and pids.
start() {
  port=0
  pids_here=""
  i=0
  while [ $i -lt "$2" ]; do
    "$bin" serve --db "$1" --listen "127.0.0.1:$port" --reuse-port --domain brackenfold.test:8731 \
      >"$work/serve.$i.out" 2>"$work/serve.$i.err" &
    p=$!
    pids="$pids $p"
    pids_here="$pids_here $p"
    tries=0
    until grep -q "listening on" "$work/serve.$i.out" 2>/dev/null; do
      tries=$((tries + 1))
      [ $tries -lt 300 ] || { echo "$0: the service did not start:" >&2; cat "$work/serve.$i.err" >&2; exit 1; }
      sleep 0.1
    done
    port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/serve.$i.out")
    i=$((i + 1))
  done
}
stop() {
  for p in $pids_here; do kill "$p" 2>/dev/null || true; done
  for p in $pids_here; do wait "$p" 2>/dev/null || true; done
  pids=""
}

# run SCRIPT CONNECTIONS: prints "rps p50 p99 errors" of one wrk run.
run() {
  out=$(wrk -t"$threads" -c"$2" -d"${duration}s" --latency -s "$1" \
    "http://127.0.0.1:$port/brackenfoldws/brackenfold.asmx" 2>&1)
  echo "$out" >>"$work/wrk.log"
  case $out in *Requests/sec*) ;; *) echo "$0: wrk failed: $out" >&2 ;; esac
  rps=$(echo "$out" | sed -n 's/^Requests\/sec: *\([0-9.]*\).*/\1/p')
  p50=$(echo "$out" | sed -n 's/^ *50% *\([0-9.]*[a-z]*\).*/\1/p')
  p99=$(echo "$out" | sed -n 's/^ *99% *\([0-9.]*[a-z]*\).*/\1/p')
  socket=$(echo "$out" | sed -n 's/.*Socket errors: \(.*\)/\1/p')
  bad=$(echo "$out" | sed -n 's/.*Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p')
  total=$(echo "$out" | sed -n 's/^ *\([0-9]*\) requests in.*/\1/p')
  echo "$rps $p50 $p99 ${total:-0} ${socket:+socket errors: $socket} ${bad:+non-2xx: $bad}"
}

printf '%-10s %-5s %-6s | %-30s | %-30s | %s\n' store procs conn "NewPage: rps p50 p99" "trivial: rps p50 p99" "NewPage/trivial"
for s in sqlite pg; do
  db=$sqlite
  [ $s = pg ] && db=$pg
  for n in 1 2; do
    start "$db" $n
    for mode in kept close; do
      a=$(run "$work/$s-$mode.lua" 64)
      b=$(run "$work/trivial-$mode.lua" 64)
      # The trivial request is a 404: its non-2xx count is expected.
      ratio=$(echo "${a%% *} ${b%% *}" | awk '{ if ($2 > 0) printf "%.2f", $1 / $2; else print "-" }')
      printf '%-10s %-5s %-6s | %-30s | %-30s | %s\n' $s $n $mode "$(echo "$a" | cut -d' ' -f1-3,5-)" \
        "$(echo "$b" | cut -d' ' -f1-3)" "$ratio"
    done
    stop
  done
done

echo
echo "kept-alive NewPage by connections (SQLite, one process):"
start "$sqlite" 1
for c in 16 64 256; do
  printf '  %4s connections: %s\n' $c "$(run "$work/sqlite-kept.lua" $c | cut -d' ' -f1-3)"
done
echo "new connection per request, NewPage by connections (SQLite, one process):"
for c in 16 64 256; do
  printf '  %4s connections: %s\n' $c "$(run "$work/sqlite-close.lua" $c | cut -d' ' -f1-3)"
done
stop

echo
echo "memory of one service process (SQLite) over a million NewPage calls:"
start "$sqlite" 1
pid=$(echo $pids_here | cut -d' ' -f1)
done_calls=0
printf '  %9s calls: VmRSS %s, VmHWM %s\n' 0 "$(awk '/VmRSS/{print $2 $3}' /proc/$pid/status)" \
  "$(awk '/VmHWM/{print $2 $3}' /proc/$pid/status)"
while [ "$done_calls" -lt 1000000 ]; do
  r=$(run "$work/sqlite-kept.lua" 64)
  n=$(echo "$r" | cut -d' ' -f4)
  [ "${n:-0}" -gt 0 ] || { echo "$0: no calls answered" >&2; exit 1; }
  done_calls=$((done_calls + n))
  printf '  %9s calls: VmRSS %s, VmHWM %s\n' "$done_calls" "$(awk '/VmRSS/{print $2 $3}' /proc/$pid/status)" \
    "$(awk '/VmHWM/{print $2 $3}' /proc/$pid/status)"
done
stop
