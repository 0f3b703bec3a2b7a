#!/usr/bin/env bash
# Writes an nginx configuration that runs without root in a folder of its own
# and serves the sample site (resources/nginx/tolvane.conf) on loopback in
# front of the given web nodes:
#
#   scripts/nginx-conf.sh DIR PORT NODE...     (NODE: 127.0.0.1:8081)
#
# DIR/nginx.conf holds the pid file, logs and temporary folders in DIR and the
# site with its listen line set to 127.0.0.1:PORT and its upstream naming the
# nodes; everything else of the site stays as shipped. Run it with
#   nginx -p DIR -c DIR/nginx.conf -g 'daemon off;'
# scripts/cluster.sh and the cluster tests use it.
set -euo pipefail
if [[ $# -lt 3 ]]; then
    echo "usage: $0 DIR PORT NODE..." >&2
    exit 2
fi
dir=$(realpath "$1")
port=$2
shift 2
site=$(dirname "$0")/../resources/nginx/tolvane.conf

mkdir -p "$dir/temp"
# As root, nginx's workers would drop to an account that may not reach DIR.
user_line=
if [[ $(id -u) -eq 0 ]]; then
    user_line="user $(id -un) $(id -gn);"
fi

{
    cat <<CONF
$user_line
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log notice;
events { worker_connections 1024; }
http {
    access_log $dir/nginx-access.log;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
CONF
    # The upstream's server lines give way to the nodes, the listen lines to
    # the one loopback port.
    awk -v listen="127.0.0.1:$port" -v nodes="$*" '
        /^[ \t]*server[ \t]+[^ \t{]+[^{]*;/ {
            if (!named) {
                n = split(nodes, list, " ")
                for (i = 1; i <= n; i++) print "    server " list[i] ";"
                named = 1
            }
            next
        }
        /^[ \t]*listen[ \t]/ {
            if (!listened) { print "    listen " listen ";"; listened = 1 }
            next
        }
        { print }
    ' "$site" | sed 's/^/    /'
    echo "}"
} >"$dir/nginx.conf"
