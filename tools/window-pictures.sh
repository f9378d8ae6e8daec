#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the README's pictures of the window and its dialogs, each at the
# usual font, at 1.5 times it and at a device pixel ratio of 2, on Qt's
# offscreen platform (no display needed):
#   docs/window-256*.png  the window over 256 ports after Start: COM1 a
#                         server, COM2 its client, COM3 a client of a port
#                         nobody listens on (selected: the status line
#                         shows why it failed), each held open by a program
#   docs/add-tls*.png     the Add dialog after a connection test with TLS
#                         against a local openssl s_server (a throw-away
#                         certificate)
#   docs/option*.png      the Option dialog
#   docs/nimbrel-window.png  examples/nimbrel.ini after Start, COM1 and COM2 open
# Suffixes: none (usual font), -font150, -dpr2.
#   tools/window-pictures.sh [BUILD_DIR]      (default build/)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
build=${1:-build}
cmake --build "$build" --target nimbrel_window_shot >/dev/null

tmp=$(mktemp -d /tmp/nimbrel-pictures-XXXXXX)
server=
cleanup() { [[ -n $server ]] && kill "$server" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

listen=$(free_port)
{
    echo "[Options]"
    echo "[COM1]"; echo "Enable=1"; echo "Mode=server"; echo "LocalPort=$listen"
    echo "[COM2]"; echo "Enable=1"; echo "Mode=client"; echo "IPAddress=127.0.0.1"; echo "PeerPort=$listen"
    for n in $(seq 3 256); do
        echo "[COM$n]"
        # Every fifth port stays off; every seventh is a UDP port.
        echo "Enable=$(( n % 5 == 0 ? 0 : 1 ))"
        if (( n % 7 == 0 )); then
            echo "Mode=udp"; echo "IPAddress=127.0.0.1"; echo "PeerPort=$((20000 + n))"; echo "LocalPort=$((30000 + n))"
        else
            echo "Mode=client"; echo "IPAddress=127.0.0.1"; echo "PeerPort=1"
        fi
    done
} >"$tmp/nimbrel.ini"

tls=$(free_port)
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/key.pem" -out "$tmp/cert.pem" -days 1 \
    -subj /CN=localhost >/dev/null 2>&1
# stdin held open: s_server ends a session at the end of its input.
openssl s_server -accept "127.0.0.1:$tls" -cert "$tmp/cert.pem" -key "$tmp/key.pem" -quiet \
    < <(sleep 600) >/dev/null 2>&1 &
server=$!
sleep 0.5

# A desktop's screen (the offscreen platform's own is 800 x 600); twice the
# pixels for a device pixel ratio of 2.
for scale in 1 2; do
    echo "{ \"screens\": [ { \"name\": \"Desktop\", \"x\": 0, \"y\": 0, \"width\": $((1920 * scale)), \"height\": $((1200 * scale)), \"logicalDpi\": 96, \"logicalBaseDpi\": 96 } ] }" \
        >"$tmp/screen-$scale.json"
done

shoot() {  # SUFFIX ENV... -- ARGS...
    local suffix=$1; shift
    local envs=()
    while [[ $1 != -- ]]; do envs+=("$1"); shift; done; shift
    echo "== docs/*$suffix.png"
    env QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen-1.json" "${envs[@]}" "$build/nimbrel_window_shot" "$@" \
        --option "docs/option$suffix.png" --select COM3 "$tmp/nimbrel.ini" "docs/window-256$suffix.png" COM1 COM2 COM3
    # With all 256 numbers taken Add would not open: its test runs on the example's two ports.
    env QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen-1.json" "${envs[@]}" "$build/nimbrel_window_shot" "$@" \
        --add-test "127.0.0.1:$tls" "docs/add-tls$suffix.png" examples/nimbrel.ini "$tmp/unused.png"
}
shoot "" --
shoot -font150 -- --font-scale 1.5
shoot -dpr2 QT_SCALE_FACTOR=2 QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen-2.json" --

echo "== docs/nimbrel-window.png"
QT_QPA_PLATFORM="offscreen:configfile=$tmp/screen-1.json" "$build/nimbrel_window_shot" examples/nimbrel.ini docs/nimbrel-window.png COM1 COM2
