#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Soak run of nimbreld over loopback, on demand (never part of ./test.sh):
#   bench/soak.sh [MINUTES] [driver options]      MINUTES: 1-600, default 5
# Builds nimbreld and nimbrel_soak_driver in build-soak/ (RelWithDebInfo) and
# runs 64 ports (TCP client, TCP server, UDP) under applications that open,
# write, read and close at random and peers that drop and come back, checking
# every byte; then checks that nimbreld's descriptors, threads and memory are
# back at their start level. Exit status 0 only for a clean run.
# Driver options: --ports N, --seed S (repeat a run), --rate F (data rate
# factor), --keep (keep the work directory with the log even when clean).
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

minutes=${1:-5}
if ! [[ $minutes =~ ^[0-9]+$ ]] || ((minutes < 1 || minutes > 600)); then
    echo "usage: bench/soak.sh [MINUTES 1-600] [driver options]" >&2
    exit 2
fi
shift $(($# > 0 ? 1 : 0))

# What the build needs (the configure step also looks for GoogleTest).
tools/ensure-packages.sh g++ cmake ninja-build pkg-config libssl-dev libinih-dev \
    libgtest-dev libgmock-dev

cmake -S . -B build-soak -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBREL_GUI=OFF >/dev/null
cmake --build build-soak -j2 --target nimbreld nimbrel_soak_driver

echo "load before the run: $(uptime)"
# The driver ends by itself; the timeout only guards against a hang.
exec timeout --kill-after=30 $((minutes * 60 + 300)) \
    build-soak/nimbrel_soak_driver --nimbreld build-soak/nimbreld --minutes "$minutes" "$@"
