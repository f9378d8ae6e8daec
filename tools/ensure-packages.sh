#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages given as arguments that are not installed yet.
# Run as root (or the missing ones are only listed). Shared by run.sh and test.sh.
set -euo pipefail

missing=()
for package in "$@"; do
    if ! dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$package")
    fi
done
((${#missing[@]} == 0)) && exit 0
if [[ $(id -u) -ne 0 ]]; then
    echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
