#!/usr/bin/env bash
# Starts or stops the PulseAudio daemon the tests play into.
#   pulse.sh start  -> starts a daemon with the null sink "tolvane_test" as default
#                      sink (reuses a running daemon); prints "started" or "reused"
#   pulse.sh stop   -> stops the daemon
#   pulse.sh status -> prints "running" or "not running" (exit 0 or 1) and the
#                      end of the daemon's log when it writes one
# ALSA's "default" device reaches the daemon through the pulse plugin, and tests
# record "tolvane_test.monitor" to hear what was played.
#
# The daemon runs without real-time scheduling and without its CPU-load
# limiter: on a shared virtual machine a stalled host can make either end the
# daemon in the middle of a run, and every later audio test would fail with it.
# Its clients send their audio over the socket rather than through shared
# memory blocks, whose hand-over the daemon reports as faulty in its log when
# many short-lived clients come and go, as they do in the tests.
# With PULSE_RUNTIME_PATH set (as the test run sets it) the daemon logs to
# daemon.log there.
set -euo pipefail
sink=tolvane_test
log=${PULSE_RUNTIME_PATH:+$PULSE_RUNTIME_PATH/daemon.log}
case "${1:-}" in
start)
    if pulseaudio --check 2>/dev/null; then
        state=reused
    else
        pulseaudio -n --daemonize=yes --exit-idle-time=-1 \
            --realtime=no --high-priority=no --no-cpu-limit=yes --disable-shm=yes \
            ${log:+--log-target=file:$log --log-level=notice} \
            --load="module-null-sink sink_name=$sink" \
            --load=module-native-protocol-unix 2>/dev/null
        state=started
    fi
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    if ! pactl list short sinks | grep -q "^[0-9]*\s$sink\s"; then
        pactl load-module module-null-sink sink_name=$sink >/dev/null
    fi
    pactl set-default-sink $sink
    echo "$state"
    ;;
stop)
    pulseaudio -k 2>/dev/null || true
    ;;
status)
    rc=0
    if pulseaudio --check 2>/dev/null && pactl info >/dev/null 2>&1; then
        echo "PulseAudio daemon: running"
    else
        echo "PulseAudio daemon: not running"
        rc=1
    fi
    if [[ -n "$log" && -s "$log" ]]; then
        echo "end of its log ($log):"
        tail -n 15 "$log"
    fi
    exit $rc
    ;;
*)
    echo "usage: $0 start|stop|status" >&2
    exit 2
    ;;
esac
