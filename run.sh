#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds Nimbrel and runs it.
#
# On a desktop (DISPLAY or WAYLAND_DISPLAY set) it starts the window program
# nimbrel on your saved settings ($XDG_CONFIG_HOME/nimbrel/nimbrel.ini, else
# ~/.config/nimbrel/nimbrel.ini); the first time, when you have none yet, the
# example configuration is copied there. Without a display it runs the
# headless nimbreld on the example configuration: COM1 is a TCP server on
# port 7001 and COM2 a TCP client to it, so two terminal programs on COM1 and
# COM2 talk to each other through the network side.
#   ./run.sh [program arguments]
#   NIMBREL_HEADLESS=1 ./run.sh   nimbreld even on a desktop
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

packages=(g++ cmake ninja-build pkg-config libssl-dev libinih-dev libgtest-dev libgmock-dev picocom
    qt6-base-dev qt6-svg-dev libgl-dev fonts-liberation)
tools/ensure-packages.sh "${packages[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

args=("$@")
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && "${NIMBREL_HEADLESS:-0}" != 1 ]]; then
    cmake --build build -j2 --target nimbrel nimbreld
    settings="${XDG_CONFIG_HOME:-$HOME/.config}/nimbrel/nimbrel.ini"
    if ((${#args[@]} == 0)) && [[ ! -e "$settings" ]]; then
        mkdir -p "$(dirname "$settings")"
        install -m 600 examples/nimbrel.ini "$settings"
        echo "No settings yet: copied examples/nimbrel.ini to $settings"
    fi
    port_dir=$(build/nimbreld --print-port-dir "${args[@]}" 2>/dev/null || true)
    cat <<TXT

Nimbrel is starting in the notification area (or as a window where the
desktop has none). Press Start there; the ports appear in ${port_dir:-the port directory}.
Exit from the icon's menu removes them again.

TXT
    exec build/nimbrel "${args[@]}"
fi

cmake --build build -j2 --target nimbreld
((${#args[@]} > 0)) || args=(--config examples/nimbrel.ini)

port_dir=$(build/nimbreld --print-port-dir "${args[@]}")
cat <<TXT

Nimbrel is starting. Its ports appear in ${port_dir}.
Try it from two other terminals:
    picocom ${port_dir}/COM1
    picocom ${port_dir}/COM2
What you type in one appears in the other (picocom: Ctrl-A Ctrl-X quits).
Stop nimbreld with Ctrl-C; it removes its ports again.

TXT
exec build/nimbreld "${args[@]}"
