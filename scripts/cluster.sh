#!/usr/bin/env bash
# Several speech servers for one user base, on this machine, for a try:
# a redis-server on a unix socket (nothing saved), WEB web nodes and WORKERS
# synthesis worker processes sharing it, and nginx in front of the web nodes
# with the sample site (resources/nginx/tolvane.conf), all on loopback and
# without root. Prints the address to give the client, then runs until
# Ctrl-C (or SIGTERM), or until one of the processes ends, and stops them all.
#
#   scripts/cluster.sh [WEB [WORKERS]]      (default: 2 web nodes, 2 workers)
#
#   TOLVANE_CLUSTER_PORT  nginx's port (8090)
#   TOLVANE_CLUSTER_DIR   the run folder (kept at the end); default: a new
#                         temporary folder, removed at the end
#   TOLVANE_BUILD_DIR     where the binaries are (build/default)
#
# The servers read the demo configuration (resources/server-demo.ini, user
# demo@tolvane.local, password demo) with [store] backend = redis; each
# process logs to its own file in the run folder.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${TOLVANE_BUILD_DIR:-build/default}
server=$build/server/tolvane-server
port=${TOLVANE_CLUSTER_PORT:-8090}
web=${1:-2}
workers=${2:-2}

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
}
if [[ "$web" == -h || "$web" == --help ]]; then
    usage
    exit 0
fi
for count in "$web" "$workers"; do
    if ! [[ "$count" =~ ^[1-9][0-9]?$ ]]; then
        echo "cluster.sh: WEB and WORKERS are numbers from 1 to 99, not '$count'" >&2
        exit 2
    fi
done
for program in redis-server redis-cli nginx "$server"; do
    if ! command -v "$program" >/dev/null; then
        echo "cluster.sh: $program is missing (scripts/install-deps.sh installs the packages;" \
            "make build builds the server)" >&2
        exit 1
    fi
done

if [[ -n "${TOLVANE_CLUSTER_DIR:-}" ]]; then
    run=$TOLVANE_CLUSTER_DIR
    keep=1
    mkdir -p "$run"
else
    run=$(mktemp -d /tmp/tolvane-cluster-XXXXXX)
    keep=
fi
run=$(realpath "$run")

pids=()
cleanup() {
    local pid i
    # The nodes first, while Redis still answers them; nginx and Redis last.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [[ -z "$keep" ]]; then
        rm -rf "$run"
    else
        echo "== logs kept in $run"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 30 s for `pattern` in `log` while process `pid` runs; prints
# the first matching line.
wait_for() {
    local pid=$1 log=$2 pattern=$3
    for _ in $(seq 300); do
        if grep -m1 -E "$pattern" "$log" 2>/dev/null; then
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "cluster.sh: $(basename "$log" .log) did not start:" >&2
    tail -n 20 "$log" >&2
    return 1
}

echo "== redis-server on $run/redis.sock"
redis-server --port 0 --unixsocket "$run/redis.sock" --unixsocketperm 700 \
    --save "" --appendonly no --dir "$run" >"$run/redis.log" 2>&1 &
pids+=($!)
wait_for "${pids[-1]}" "$run/redis.log" "[Rr]eady to accept connections" >/dev/null

# The demo configuration on this Redis, its feeds where the checkout has
# them. Every request reaches the nodes from nginx's one address, so the
# per-address limits are raised.
sed -e "/^\[store\]/,/^\[/ s#^backend *=.*#backend = redis#" \
    -e "/^\[store\]/,/^\[/ s#^redis *=.*#redis = unix:$run/redis.sock#" \
    -e "/^\[server\]/,/^\[/ s#^connections_per_address *=.*#connections_per_address = 1000#" \
    -e "/^\[limits\]/,/^\[/ s#^login_failures_per_address *=.*#login_failures_per_address = 1000#" \
    -e "s#^source *= *server/#source = $repo/resources/server/#" \
    resources/server-demo.ini >"$run/server.ini"

nodes=()
for ((i = 1; i <= web; i++)); do
    "$server" --config "$run/server.ini" --role web --port 0 >"$run/web-$i.log" 2>&1 &
    pids+=($!)
    line=$(wait_for "${pids[-1]}" "$run/web-$i.log" "listening on http://127\.0\.0\.1:[0-9]+/")
    node=$(sed -E 's#.*listening on http://(127\.0\.0\.1:[0-9]+)/.*#\1#' <<<"$line")
    nodes+=("$node")
    echo "== web node $i on $node"
done
for ((i = 1; i <= workers; i++)); do
    "$server" --config "$run/server.ini" --role worker --workers 1 >"$run/worker-$i.log" 2>&1 &
    pids+=($!)
    wait_for "${pids[-1]}" "$run/worker-$i.log" "working \(" >/dev/null
    echo "== worker $i"
done

scripts/nginx-conf.sh "$run/nginx" "$port" "${nodes[@]}"
nginx -p "$run/nginx" -c "$run/nginx/nginx.conf" -g 'daemon off;' >"$run/nginx.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    [[ -s "$run/nginx/nginx.pid" ]] && break
    if ! kill -0 "${pids[-1]}" 2>/dev/null; then
        cat "$run/nginx.log" "$run/nginx/nginx-error.log" 2>/dev/null >&2
        echo "cluster.sh: nginx did not start (is port $port taken? TOLVANE_CLUSTER_PORT picks another)" >&2
        exit 1
    fi
    sleep 0.1
done
echo "== nginx on 127.0.0.1:$port in front of ${nodes[*]}"

cat <<TEXT
== Give the client host 127.0.0.1 and port $port
   (door http://127.0.0.1:$port/tolvane/tolvanedoor.php), user demo@tolvane.local,
   password demo. For example:
     printf '[TolvaneWin32]\\nTolvane_Host=127.0.0.1\\nTolvane_Port=$port\\nUser_Email=demo@tolvane.local\\nUser_Pass=demo\\n' >/tmp/cluster-client.ini
     $build/tools/tolvane-say --config /tmp/cluster-client.ini "Hello from the cluster."
== Logs in $run; Ctrl-C stops everything.
TEXT

# Runs until a signal, or until one of the processes ends.
status=0
wait -n "${pids[@]}" || status=$?
echo "== a process ended (status $status); stopping the others" >&2
tail -n 5 "$run"/*.log >&2
exit 1
