#!/usr/bin/env bash
# Stops the servers that start-servers.sh started, by the pids it wrote in
# STATE; waits up to 5 seconds for each before killing it outright.
#
#   stop-servers.sh STATE
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 STATE" >&2
  exit 2
fi
state=$1
status=0
for name in lighttpd lighttpd-tls php; do
  pidfile="$state/$name.pid"
  [ -f "$pidfile" ] || continue
  pid=$(cat "$pidfile")
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "stop-servers: $name ($pid) ignored TERM; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || status=1
    fi
  fi
  rm -f "$pidfile"
done
exit $status
