#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package the way a release does (cpack -G DEB in the build
# directory), unpacks it into a temporary root and runs what it holds; checks
# the install rules' own layout, the service unit, the desktop entries, the
# man pages and, where lintian is installed, the package as Debian sees it.
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail

build_dir=$1
version=$2
tmp=$(mktemp -d /tmp/nimbrel-package-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
check_output() {  # command... ; expected text on stdin
    local want got
    want=$(cat)
    got=$("$@") || fail "$* exited with $?"
    [[ "$got" == *"$want"* ]] || fail "$*: wanted '$want', got '$got'"
}

# The package, with its dependencies worked out from the binaries.
(cd "$build_dir" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
deb="$tmp/out/nimbrel_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || fail "no $deb: $(ls "$tmp/out")"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libssl3 libinih1 libc6; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

# What the package holds runs from an unpacked root, without a display.
dpkg-deb -x "$deb" "$tmp/root"
echo "nimbreld (Nimbrel) $version" | check_output "$tmp/root/usr/bin/nimbreld" --version
echo "Usage: nimbreld" | check_output "$tmp/root/usr/bin/nimbreld" --help
echo "Nimbrel $version" | check_output env -u DISPLAY -u WAYLAND_DISPLAY "$tmp/root/usr/bin/nimbrel" --version
echo "Usage: nimbrel" | check_output env -u DISPLAY -u WAYLAND_DISPLAY "$tmp/root/usr/bin/nimbrel" --help
for file in usr/share/applications/nimbrel.desktop usr/share/nimbrel/autostart/nimbrel.desktop \
    usr/share/icons/hicolor/scalable/apps/nimbrel.svg usr/share/icons/hicolor/48x48/apps/nimbrel.png \
    usr/share/man/man1/nimbrel.1.gz usr/share/man/man8/nimbreld.8.gz usr/lib/systemd/system/nimbreld.service \
    usr/share/doc/nimbrel/copyright usr/share/doc/nimbrel/changelog.gz; do
    [[ -s "$tmp/root/$file" ]] || fail "the package lacks $file"
done
grep -qx 'ExecStart=/usr/bin/nimbreld --config /etc/nimbrel/nimbrel.ini --port-dir /run/nimbrel' \
    "$tmp/root/usr/lib/systemd/system/nimbreld.service" || fail "the packaged unit does not run /usr/bin/nimbreld"

# The man pages render without complaint.
for page in man1/nimbrel.1.gz man8/nimbreld.8.gz; do
    out=$(MANWIDTH=80 man --warnings -l "$tmp/root/usr/share/man/$page" 2>&1 >/dev/null) || fail "man $page"
    [[ -z "$out" ]] || fail "man $page: $out"
done

# A plain install into a prefix of its own; its unit names that prefix's nimbreld.
cmake --install "$build_dir" --prefix "$tmp/inst" >/dev/null
unit="$tmp/inst/lib/systemd/system/nimbreld.service"
grep -q "^ExecStart=$tmp/inst/bin/nimbreld " "$unit" || fail "installed unit: $(grep ExecStart "$unit")"
if command -v systemd-analyze >/dev/null; then
    MANPATH="$tmp/inst/share/man" systemd-analyze verify "$unit" || fail "systemd-analyze verify"
fi
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$tmp/root/usr/share/applications/nimbrel.desktop" \
        "$tmp/root/usr/share/nimbrel/autostart/nimbrel.desktop" || fail "desktop-file-validate"
fi
if command -v lintian >/dev/null; then
    lintian --allow-root --fail-on error "$deb" >"$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log"; fail "lintian"; }
    cat "$tmp/lintian.log"
fi
echo "package test: all checks passed"
