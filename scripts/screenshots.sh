#!/usr/bin/env bash
# Makes the README's pictures of the desktop client: builds tolvane-shots and
# the reference server, starts the server (demo configuration, loopback port
# 8080), a PulseAudio null sink of this run's own so the reading really plays,
# and an Xvfb screen, then runs the client in English and in Chinese and saves
#   docs/screenshots/{ready,reading,options,options-speech,options-pronunciations,
#                     trace,parts}-{en,zh}.png
# Re-running replaces them. Everything it started is stopped at the end.
#
#   scripts/screenshots.sh [SHOT...]   only these (ready, reading, trace,
#                                      options, parts)
#
#   TOLVANE_BUILD_DIR   the build to use (build/default)
#   TOLVANE_SHOTS_DIR   where the pictures go (docs/screenshots)
#   TOLVANE_SHOTS_PORT  the server's port (8080; a free one when it is taken)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TOLVANE_BUILD_DIR:-build/default}
out=${TOLVANE_SHOTS_DIR:-docs/screenshots}
# The screen the pictures are taken on; the trace window is as tall as it.
screen=1280x720x24

cmake --build "$build" --target tolvane-shots tolvane-server
shots=$build/app/shots/tolvane-shots
server=$build/server/tolvane-server

work=$(mktemp -d)
server_pid=
cleanup() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    PULSE_RUNTIME_PATH=$work/pulse scripts/pulse.sh stop
    rm -rf "$work"
}
trap cleanup EXIT

# The server listens on the demo port when it can, so the options sheet shows
# what a `make run` user sees; on a free port otherwise.
start_server() {
    "$server" --config resources/server-demo.ini --port "$1" --quiet >"$work/server.log" 2>&1 &
    server_pid=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/server.log")
        [[ -n "$port" ]] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    return 1
}
if ! start_server "${TOLVANE_SHOTS_PORT:-8080}"; then
    if ! start_server 0; then
        cat "$work/server.log"
        echo "== the server did not start"
        exit 1
    fi
    echo "== port ${TOLVANE_SHOTS_PORT:-8080} is taken; the pictures show port $port"
fi

mkdir -m 0700 "$work/pulse" "$work/runtime" "$work/state"
# The part read of the pictured document is kept in this run's own state folder.
export PULSE_RUNTIME_PATH=$work/pulse XDG_RUNTIME_DIR=$work/runtime XDG_STATE_HOME=$work/state
scripts/pulse.sh start >/dev/null

mkdir -p "$out"
# Pronunciations beside the configurations, so their page shows some rules.
printf '%s\t%s\t%s\n' en Tolvane "Toll vane" en SQL "sequel" zh 重庆 "崇庆" \
    >"$work/pronunciations.txt"
for language in en-US zh-CN; do
    suffix=${language%%-*}
    cat >"$work/config-$suffix.ini" <<INI
[TolvaneWin32]
Tolvane_Host=127.0.0.1
Tolvane_Port=$port
User_Email=demo@tolvane.local
User_Pass=demo
language=$language
Debug_Trace=OFF
INI
    echo "== $language"
    # A real X server of its own, with no window manager, so every run looks
    # the same whatever desktop started the script.
    env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb LANG=C.UTF-8 \
        xvfb-run -a -s "-screen 0 $screen -dpi 96 -nolisten tcp" \
        "$shots" "$work/config-$suffix.ini" "$out" "$suffix" "$@"
done
