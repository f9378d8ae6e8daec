#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The desktop window's own costs, on the real window over 256 real virtual
# ports, on Qt's offscreen platform (no display needed): a burst of reports
# from all 256 ports until the list has repainted, Start and Stop of 256
# ports, and the window's CPU and wake-ups while it sits over 256 started
# ports. Builds Release in build-bench/, prints the figures and writes them
# to their own section of bench/results.md; the bursts run once more while
# a monitor window shows a full-speed stream (the rest of the file is left
# as it is; bench/run.sh keeps the section too).
#   bench/window.sh              (as root on a fresh Debian 12 clone)
# Knobs (environment): WINDOW_BURSTS=200, WINDOW_CYCLES=3 (Start/Stop pairs;
# one more Start is measured before the idle part), WINDOW_IDLE_SECONDS=10,
# BENCH_RESULTS=FILE to write elsewhere than bench/results.md.
# Nothing leaves the machine: the 256 ports are clients of 127.0.0.1 port 1,
# which dial only when a program opens them, and nobody does.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

bursts=${WINDOW_BURSTS:-200}
cycles=${WINDOW_CYCLES:-3}
idle_seconds=${WINDOW_IDLE_SECONDS:-10}

tools/ensure-packages.sh g++ cmake ninja-build pkg-config libssl-dev libinih-dev \
    libgtest-dev libgmock-dev qt6-base-dev qt6-svg-dev libgl-dev qt6-qpa-plugins fonts-liberation

echo "== building (Release, build-bench/)"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_GUI=ON >/dev/null
cmake --build build-bench -j2 --target nimbrel_bench_window

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
echo "== measuring: $bursts bursts, $cycles Start/Stop cycles, $idle_seconds s idle ($cores cores, load $load_before)"
raw=$(mktemp /tmp/nimbrel-window-bench.XXXXXX)
trap 'rm -f "$raw"' EXIT
start=$SECONDS
QT_QPA_PLATFORM=offscreen timeout --kill-after=10 600 build-bench/nimbrel_bench_window \
    --bursts "$bursts" --cycles "$cycles" --idle-seconds "$idle_seconds" 2>/dev/null | tee "$raw"
status=${PIPESTATUS[0]}
seconds=$((SECONDS - start))
if ((status != 0)); then
    echo "bench/window.sh: the measurement failed (exit status $status)" >&2
    exit 1
fi

# get WHAT KEY: the value of KEY on the line that starts with WHAT.
get() { awk -v w="$1" -v k="$2" '$1 == w { for (i = 2; i <= NF; i++) { split($i, a, "="); if (a[1] == k) print a[2] } }' "$raw"; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 < b + 0) ? "PASS" : "MISS" }'; }

rows=()
row() { rows+=("$1|$2|$3|$4"); }
row "256 ports report at once (768 reports from 256 threads): first report to list repainted, median / p95 / max of $(get burst bursts) bursts" \
    "$(get burst repainted_ms_p50) / $(get burst repainted_ms_p95) / $(get burst repainted_ms_max) ms" \
    "< 20 ms" "$(below "$(get burst repainted_ms_p95)" 20)"
row "the same bursts while a monitor window shows a stream of $(get monitorburst fed_mb_per_s) MB/s: first report to list repainted, median / p95 / max of $(get monitorburst bursts) bursts" \
    "$(get monitorburst repainted_ms_p50) / $(get monitorburst repainted_ms_p95) / $(get monitorburst repainted_ms_max) ms" \
    "< 20 ms" "$(below "$(get monitorburst repainted_ms_p95)" 20)"
row "the same 768 reports already queued: drain into the list and repaint (the window's own share), median / max" \
    "$(get queued repainted_ms_p50) / $(get queued repainted_ms_max) ms" "-" "-"
row "Start of 256 ports, button to button, median / max of $(get startstop starts)" \
    "$(get startstop start_s_p50) / $(get startstop start_s_max) s" "< 4 s (floor 2.56 s)" \
    "$(below "$(get startstop start_s_max)" 4)"
row "Stop of 256 ports, median / max of $(get startstop stops)" \
    "$(get startstop stop_s_p50) / $(get startstop stop_s_max) s" "< 4 s" "$(below "$(get startstop stop_s_max)" 4)"
row "longest single hold of the window's event loop during Start / Stop" \
    "$(get startstop start_loop_held_ms_max) / $(get startstop stop_loop_held_ms_max) ms" "-" "-"
idle_ok=MISS
if [[ $(get idle gui_thread_wakeups) == 0 && $(get idle other_wakeups) == 0 && $(get idle window_timers) == 0 ]]; then
    idle_ok=PASS
fi
row "idle over $(get idle ports) started ports for $(get idle seconds) s: process CPU (the window thread's)" \
    "$(get idle cpu_percent) % ($(get idle cpu_ms) ms; $(get idle gui_thread_cpu_ms) ms)" "0 %" "$idle_ok"
row "idle: wake-ups of the window thread / of the other $(get idle other_threads) threads; timers in the window" \
    "$(get idle gui_thread_wakeups) / $(get idle other_wakeups); $(get idle window_timers)" "0 / 0; 0" "$idle_ok"

echo
printf '%-100s %-28s %-22s %s\n' Measurement Figure Target Result
for x in "${rows[@]}"; do
    IFS='|' read -r a b c d <<<"$x"
    printf '%-100s %-28s %-22s %s\n' "$a" "$b" "$c" "$d"
done

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- 2>/dev/null || commit="$commit + local changes"
results=${BENCH_RESULTS:-bench/results.md}
begin='<!-- bench/window.sh: begin -->'
end='<!-- bench/window.sh: end -->'
section=$(mktemp /tmp/nimbrel-window-section.XXXXXX)
trap 'rm -f "$raw" "$section"' EXIT
{
    echo "$begin"
    echo "## The desktop window (bench/window.sh)"
    echo
    echo "Written by \`bench/window.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'): $cores cores, $cpu_model,"
    echo "Linux $(uname -r), Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | cut -d+ -f1) on its offscreen platform,"
    echo "Release build of $commit; the run took $seconds s. Load before it: $load_before."
    echo
    echo "| Measurement | Figure | Target | Result |"
    echo "|---|---:|---|---|"
    for x in "${rows[@]}"; do echo "| ${x//|/ | } |"; done
    echo
    echo "The window is \`COmbraCtrlDlg\` with its list, model and dispatcher, built from a"
    echo "settings file of 256 enabled client ports and shown. A burst: 256 threads,"
    echo "released together, each report \"Connecting\", then \"Connected\" and a peer"
    echo "(or \"Not Connect\" and ten hyphens, every other burst) through the core's"
    echo "\`PostStatus\`/\`PostPeer\`; it ends when the queue is drained and the list's"
    echo "viewport has painted after the last change of a row on screen. The result"
    echo "is judged on the p95, since the machine is shared. Start and Stop are pressed on"
    echo "the button and end when it is enabled again with its new text; every run"
    echo "checks 256 \"Created\" rows and 256 links after Start and none after Stop."
    echo "Idle: wake-ups are the threads' voluntary context switches"
    echo "(\`/proc/self/task/*/status\`) over the idle time, less the one that ends it,"
    echo "for the threads there at its start and at its end (\`threads_ended\` counts"
    echo "those that went); timers are those registered for the window and every"
    echo "object in it. The CPU figure is what the process used in that time,"
    echo "the window thread's own share in brackets."
    echo
    echo "<details><summary>Every measured line</summary>"
    echo
    echo '```'
    cat "$raw"
    echo '```'
    echo "</details>"
    echo "$end"
} >"$section"

if [[ -f $results ]] && grep -qF "$begin" "$results"; then
    # Replace the old section, keep everything around it.
    awk -v b="$begin" -v e="$end" -v f="$section" '
        $0 == b { while ((getline line < f) > 0) print line; skip = 1; next }
        $0 == e { skip = 0; next }
        !skip { print }' "$results" >"$results.new"
    mv "$results.new" "$results"
else
    { [[ -f $results ]] && cat "$results" && echo; cat "$section"; } >"$results.new"
    mv "$results.new" "$results"
fi
echo
echo "Written to $results"
