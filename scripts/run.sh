#!/usr/bin/env bash
# The main job until the window exists: starts the reference speech server with
# its demo configuration in the background, waits until it answers, reads a
# short demo sentence aloud with tolvane-say, and stops the server. Without an
# answering audio device it says so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TOLVANE_BUILD_DIR:-build/default}
port=${TOLVANE_RUN_PORT:-8080}
server=$build/server/tolvane-server
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

echo "== tolvane-server --config resources/server-demo.ini --port $port"
"$server" --config resources/server-demo.ini --port "$port" --quiet >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
    grep -q "listening on" "$work/server.log" && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        cat "$work/server.log"
        echo "== the server did not start (is port $port taken? TOLVANE_RUN_PORT picks another)"
        exit 1
    fi
    sleep 0.1
done
grep "listening on" "$work/server.log" || { echo "== the server did not answer"; exit 1; }

cat >"$work/config.ini" <<INI
[TolvaneWin32]
Tolvane_Host=127.0.0.1
Tolvane_Port=$port
User_Email=demo@tolvane.local
User_Pass=demo
language=en-US
INI
sentence="Hello! This is Tolvane, reading a short demo sentence aloud."
echo "== tolvane-say \"$sentence\""
status=0
"$say" --config "$work/config.ini" "$sentence" | tee "$work/say.out" || status=$?
if [[ $status -ne 0 ]] && grep -q "^100/110 .*wave out" "$work/say.out"; then
    echo "== no audio device answered; the speech was made and fetched but cannot be heard here."
    exit 0
fi
exit "$status"
