#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds Nimbrel in a fresh directory and runs every test.
#   ./test.sh                     build/       RelWithDebInfo
#   NIMBREL_SANITIZE=1 ./test.sh  build-asan/  with ASan + UBSan
#   NIMBREL_TSAN=1 ./test.sh      build-tsan/  with TSan
set -euo pipefail

cd "$(dirname "$(readlink -f "$0")")"

# What building needs, plus the test peers (pyserial, socat, openssl,
# ser2net). The
# window's tests run on Qt's offscreen platform, with a font that has
# Arial's metrics. The package test builds the .deb (dpkg-dev, file) and
# checks it (lintian, desktop-file-validate, systemd-analyze, man).
tools/ensure-packages.sh g++ cmake ninja-build pkg-config libssl-dev libinih-dev \
    libgtest-dev libgmock-dev python3 python3-serial socat openssl ser2net \
    qt6-base-dev qt6-svg-dev libgl-dev qt6-qpa-plugins fonts-liberation \
    dpkg-dev file lintian desktop-file-utils systemd man-db

build_dir=build
cmake_args=()
if [[ "${NIMBREL_SANITIZE:-0}" == 1 && "${NIMBREL_TSAN:-0}" == 1 ]]; then
    echo "test.sh: NIMBREL_SANITIZE and NIMBREL_TSAN cannot be combined" >&2
    exit 2
fi
if [[ "${NIMBREL_SANITIZE:-0}" == 1 ]]; then
    build_dir=build-asan
    cmake_args+=(-DNIMBREL_SANITIZE=ON)
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
elif [[ "${NIMBREL_TSAN:-0}" == 1 ]]; then
    build_dir=build-tsan
    cmake_args+=(-DNIMBREL_TSAN=ON)
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
fi

rm -rf "$build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
cmake --build "$build_dir" -j2
ctest --test-dir "$build_dir" --output-on-failure -j2
