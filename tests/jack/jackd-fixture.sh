#!/usr/bin/env bash
# Starts or stops the JACK server of the jack and e2e suites: the dummy
# driver (no sound card needed), 256 frames at 48 kHz, under a server name of
# its own so that other JACK servers on the machine are never touched.
#   jackd-fixture.sh start|stop SERVER_NAME STATE_DIR
# Clients reach it with JACK_DEFAULT_SERVER=SERVER_NAME.  -p 128 keeps the
# shared memory small (/dev/shm may be small in containers).  -S (synchronous
# mode): without real-time scheduling (-r) a busy machine makes clients miss
# their cycle, and in the default asynchronous mode every such xrun drops the
# MIDI of that cycle; in synchronous mode the server waits for late clients,
# so the suites test the program and not the machine's load.
set -euo pipefail
action=${1:?start or stop}
name=${2:?server name}
dir=${3:?state folder}
pidfile="$dir/jackd-$name.pid"
log="$dir/jackd-$name.log"

running() { JACK_DEFAULT_SERVER="$name" jack_wait -s "$name" -c 2>/dev/null | grep -qx running; }

stop() {
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile"
}

case "$action" in
  start)
    command -v jackd >/dev/null || { echo "jackd is not installed (scripts/setup.sh installs jackd2)" >&2; exit 1; }
    mkdir -p "$dir"
    stop  # a server left behind by an interrupted run
    if running; then
      echo "a JACK server named $name runs already and is not ours" >&2
      exit 1
    fi
    # setsid and no inherited descriptors: the test runner must not wait for it.
    JACK_NO_AUDIO_RESERVATION=1 setsid jackd -S -r -p 128 -n "$name" -d dummy -r 48000 -p 256 \
      >"$log" 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 200); do
      if running; then echo "jackd $name started (pid $(cat "$pidfile"))"; exit 0; fi
      kill -0 "$(cat "$pidfile")" 2>/dev/null || break
      sleep 0.1
    done
    echo "jackd $name did not start; its log:" >&2
    cat "$log" >&2 || true
    stop
    exit 1
    ;;
  stop)
    stop
    echo "jackd $name stopped"
    ;;
  *)
    echo "usage: $0 start|stop SERVER_NAME STATE_DIR" >&2
    exit 2
    ;;
esac
