#!/usr/bin/env bash
# Starts or stops the PulseAudio daemon the tests play into.
#   pulse.sh start  -> starts a daemon with the null sink "tolvane_test" as default
#                      sink (reuses a running daemon); prints "started" or "reused"
#   pulse.sh stop   -> stops the daemon
# ALSA's "default" device reaches the daemon through the pulse plugin, and tests
# record "tolvane_test.monitor" to hear what was played.
set -euo pipefail
sink=tolvane_test
case "${1:-}" in
start)
    if pulseaudio --check 2>/dev/null; then
        state=reused
    else
        pulseaudio -n --daemonize=yes --exit-idle-time=-1 \
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
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
