#!/usr/bin/env bash
# Builds nimbreld and runs it on the example configuration: COM1 is a TCP
# server on port 7001 and COM2 a TCP client to it, so two terminal programs
# on COM1 and COM2 talk to each other through the network side.
#   ./run.sh [nimbreld arguments]   (default: --config examples/nimbrel.ini)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

tools/ensure-packages.sh g++ cmake ninja-build pkg-config libssl-dev libinih-dev \
    libgtest-dev libgmock-dev picocom

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target nimbreld

args=("$@")
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
