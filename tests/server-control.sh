#!/bin/sh
# Starts a local test server (the update server or the test proxy) in the background for a test run, or stops it.
#   server-control.sh start SERVER_SCRIPT ROOT PORT PIDFILE [SERVER_OPTION...]
#   server-control.sh stop PIDFILE
set -e
case "$1" in
  start)
    script=$2 root=$3 port=$4 pidfile=$5
    shift 5
    mkdir -p "$root"
    if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; rm -f "$pidfile"; fi
    # Output goes to a file: an inherited pipe would keep the test runner waiting.
    nohup python3 "$script" --root "$root" --port "$port" --pidfile "$pidfile" "$@" >"$pidfile.log" 2>&1 &
    for _ in $(seq 1 100); do
      if grep -q "listening on" "$pidfile.log" 2>/dev/null; then exit 0; fi
      sleep 0.1
    done
    echo "$(basename "$script") did not start:" >&2
    cat "$pidfile.log" >&2
    exit 1
    ;;
  stop)
    pidfile=$2
    if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
    ;;
  *)
    echo "usage: $0 start SERVER_SCRIPT ROOT PORT PIDFILE [SERVER_OPTION...] | stop PIDFILE" >&2
    exit 2
    ;;
esac
