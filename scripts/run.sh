#!/usr/bin/env bash
# The main job: opens the desktop client logged in to a local speech server.
# When nothing answers on the demo port, starts the reference server with its
# demo configuration in the background and waits until it answers; writes a
# demo config.ini (that server, the demo user, English) to a temporary folder
# and runs the client with TOLVANE_CONFIG naming it. A server this script
# started is stopped when the window closes; one that was already running is
# left alone.
#
# Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) it reads a short
# demo sentence aloud with tolvane-say instead, and says that an audio device
# did not answer when none did.
#
#   TOLVANE_RUN_PORT    the demo port (8080)
#   TOLVANE_BUILD_DIR   where the binaries are (build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TOLVANE_BUILD_DIR:-build/default}
port=${TOLVANE_RUN_PORT:-8080}
server=$build/server/tolvane-server
client=$build/app/tolvane
say=$build/tools/tolvane-say
work=$(mktemp -d)
server_pid=
cleanup() {
    if [[ -n "$server_pid" ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# Ctrl-C and a session's end go to the client as well (it closes its window);
# the script then stops its server on the way out.
trap 'exit 130' INT
trap 'exit 143' TERM

# True when something answers HTTP on the demo port's network-verify address
# within two seconds (bash's /dev/tcp, so no HTTP client needs installing).
server_answers() {
    local reply
    reply=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        printf "GET %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n" "$2" "$1" >&3
        head -c 5 <&3' _ "$port" /tolvane/tolvanedoor.php 2>/dev/null) || true
    [[ "$reply" == HTTP/ ]]
}

start_server() {
    echo "== tolvane-server --config resources/server-demo.ini --port $port"
    "$server" --config resources/server-demo.ini --port "$port" >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        grep -q "listening on" "$work/server.log" && break
        if ! kill -0 "$server_pid" 2>/dev/null; then
            cat "$work/server.log"
            server_pid=
            echo "== the server did not start (is port $port taken? TOLVANE_RUN_PORT picks another)"
            exit 1
        fi
        sleep 0.1
    done
    grep "listening on" "$work/server.log" || { echo "== the server did not answer"; exit 1; }
    echo "== its log of requests: $work/server.log (removed at the end)"
}

if server_answers; then
    echo "== a server already answers on 127.0.0.1:$port; using it"
else
    start_server
fi

cat >"$work/config.ini" <<INI
[TolvaneWin32]
Tolvane_Host=127.0.0.1
Tolvane_Port=$port
User_Email=demo@tolvane.local
User_Pass=demo
language=en-US
INI

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    echo "== tolvane (config $work/config.ini); close the window to end"
    status=0
    TOLVANE_CONFIG=$work/config.ini "$client" &
    client_pid=$!
    trap 'kill -TERM "$client_pid" 2>/dev/null || true' INT TERM
    # A signal interrupts the first wait; the second one waits for the client
    # to close its window.
    wait "$client_pid" || status=$?
    if kill -0 "$client_pid" 2>/dev/null; then
        status=0
        wait "$client_pid" || status=$?
    fi
    exit "$status"
fi

echo "== no display (neither DISPLAY nor WAYLAND_DISPLAY is set): reading a demo sentence with tolvane-say instead of opening the window"
sentence="Hello! This is Tolvane, reading a short demo sentence aloud."
echo "== tolvane-say \"$sentence\""
status=0
"$say" --config "$work/config.ini" "$sentence" | tee "$work/say.out" || status=$?
if [[ $status -ne 0 ]] && grep -q "^100/110 .*wave out" "$work/say.out"; then
    echo "== no audio device answered; the speech was made and fetched but cannot be heard here."
    exit 0
fi
exit "$status"
