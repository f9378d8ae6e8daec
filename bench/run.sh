#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# nimbreld beside socat, on loopback only, in one run: round trips, streams,
# the stream again with the port's monitor on, one-way streams, the bridges'
# CPU time and system calls per MB in each direction, 64 ports at once, 256
# idle ports, 256 slow ports and open/close cycles. Prints one table
# and writes it to bench/results.md with the machine it ran on.
#   bench/run.sh                 (as root on a fresh Debian 12 clone)
# Knobs (environment): BENCH_REPEAT=7 runs of each latency, stream, CPU and
# slow-port figure (the median is shown: on a small VM one run can be twice
# as fast as the next), BENCH_RTT_COUNT=4000 round trips a run,
# BENCH_STREAM_BYTES=50000000 for the echoed stream and each one-way stream,
# BENCH_MULTI_BYTES=2000000 per port, BENCH_IDLE_SECONDS=10,
# BENCH_SLOW_SECONDS=10 of 64 bytes every 5.5 ms to each of 256 ports,
# BENCH_CYCLES=1000, BENCH_SYSCALLS=auto|perf|strace|off for the tool that
# counts system calls (auto: perf's syscall tracepoints, else strace),
# BENCH_NIMBRELD=FILE to measure another nimbreld build than this tree's,
# BENCH_RESULTS=FILE to write the results elsewhere than bench/results.md.
# CPU is utime+stime from /proc/PID/stat of the bridge (nimbreld, or the one
# socat process of the port; for the slow ports the sum over all 256),
# sampled by the driver just before and just after the transfer, so that a
# connect made on open stays outside it. System calls are counted in one
# more run of each kind, not timed, with the tool attached to the bridge.
# Every process it starts is ended on exit; each tool also ends by itself.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
root=$PWD

repeat=${BENCH_REPEAT:-7}
rtt_count=${BENCH_RTT_COUNT:-4000}
stream_bytes=${BENCH_STREAM_BYTES:-50000000}
multi_bytes=${BENCH_MULTI_BYTES:-2000000}
multi_ports=64
idle_ports=256
idle_seconds=${BENCH_IDLE_SECONDS:-10}
slow_ports=256
slow_seconds=${BENCH_SLOW_SECONDS:-10}
cycles=${BENCH_CYCLES:-1000}
syscall_tool=${BENCH_SYSCALLS:-auto}

tools/ensure-packages.sh g++ cmake ninja-build pkg-config libssl-dev libinih-dev \
    libgtest-dev libgmock-dev socat strace

echo "== building (Release, build-bench/)"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBREL_GUI=OFF >/dev/null
cmake --build build-bench -j2 --target nimbreld nimbrel_echo_peer nimbrel_port_driver
bin=$root/build-bench
nimbreld=${BENCH_NIMBRELD:-$bin/nimbreld}
echo_peer=$bin/nimbrel_echo_peer
driver=$bin/nimbrel_port_driver

# 256 socat processes, 256 ports with their descriptors, 256 echo connections.
ulimit -n 65536 2>/dev/null || ulimit -n 8192 2>/dev/null || true

work=$(mktemp -d /tmp/nimbrel-bench.XXXXXX)
# The processes started here and not yet ended and reaped: only these are
# ever signalled, so a reused process id cannot be hit.
declare -A live=()
cleanup() {
    local pid
    for pid in "${!live[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for _ in $(seq 50); do
        local alive=0
        for pid in "${!live[@]}"; do if kill -0 "$pid" 2>/dev/null; then alive=1; break; fi; done
        ((alive)) || break
        sleep 0.1
    done
    for pid in "${!live[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

raw=$work/raw.txt   # every measured line, for the appendix
: >"$raw"
declare -A R        # results by key

die() { echo "bench/run.sh: $*" >&2; exit 1; }

# Waits until command "$@" succeeds, at most $1 seconds.
wait_until() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.05
    done
}
has_line() { grep -Eq "$2" "$1" 2>/dev/null; }
link_count_is() { [[ $(find "$1" -maxdepth 1 -type l 2>/dev/null | wc -l) -ge $2 ]]; }

# A TCP port nobody listens on, from a range below the ephemeral one.
next_port=$((20000 + RANDOM % 8000))
pick_port() {
    while (exec 3<>"/dev/tcp/127.0.0.1/$next_port") 2>/dev/null; do next_port=$((next_port + 1)); done
    port=$next_port
    next_port=$((next_port + 1))
}

# Starts "$@" in the background, output to $work/$name.log; sets $pid.
spawn() {
    local name=$1; shift
    "$@" >"$work/$name.log" 2>&1 &
    pid=$!
    live[$pid]=1
}

# Ends one started process and waits for it.
stop() {
    local p=$1
    kill -TERM "$p" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
    unset "live[$p]"
}

# An echo peer; sets $echo_pid and $echo_port.
start_echo() {
    local name=$1; shift
    spawn "$name" "$echo_peer" "$@" --max-seconds 900
    echo_pid=$pid
    wait_until 10 has_line "$work/$name.log" '^(listening|connected) ' || die "echo peer $name did not start"
    echo_port=$(sed -n 's/^listening port=\([0-9]*\).*/\1/p' "$work/$name.log")
}

# nimbreld with a generated settings file: COUNT ports of MODE; sets $nim_pid
# and $nim_dir. Client ports dial 127.0.0.1:PEER; a server port listens on
# LOCAL; a UDP port binds LOCAL and sends to 127.0.0.1:PEER. Arguments
# after LOCAL go to nimbreld.
start_nimbreld() {
    local name=$1 mode=$2 count=$3 peer=$4 local_port=$5
    shift 5
    local ini=$work/$name.ini i
    {
        echo "[Options]"
        echo "ConnectTimeout=5"
        for ((i = 1; i <= count; i++)); do
            echo "[COM$i]"
            echo "Enable=1"
            echo "Mode=$mode"
            echo "IPAddress=127.0.0.1"
            echo "PeerPort=$peer"
            echo "LocalPort=$local_port"
        done
    } >"$ini"
    nim_dir=$work/$name-ports
    spawn "$name" env NIMBREL_LOCK_FILE="$work/$name.lock" "$nimbreld" --config "$ini" --port-dir "$nim_dir" "$@"
    nim_pid=$pid
    wait_until 60 link_count_is "$nim_dir" "$count" || die "nimbreld $name did not create $count ports"
}

# socat bridges: COUNT processes linked as DIR/COM1..COMn; sets $socat_pids
# and $socat_dir. In the address after the PTY, @I@ stands for n.
start_socat() {
    local name=$1 count=$2 address=$3 i
    socat_dir=$work/$name-ports
    mkdir -p "$socat_dir"
    socat_pids=()
    for ((i = 1; i <= count; i++)); do
        spawn "$name-$i" socat "PTY,raw,echo=0,link=$socat_dir/COM$i" "${address//@I@/$i}"
        socat_pids+=("$pid")
    done
    wait_until 60 link_count_is "$socat_dir" "$count" || die "socat $name did not create $count ports"
}

stop_all() {
    local p
    for p in "$@"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "$@"; do stop "$p"; done
}

# Runs the driver; its result line goes to $raw under LABEL and into $line.
drive() {
    local label=$1; shift
    "$driver" "$@" --max-seconds 240 >"$work/drive.out" 2>&1 &
    local dpid=$!
    live[$dpid]=1
    wait "$dpid" || true
    unset "live[$dpid]"
    line=$(grep -E '^(rtt|stream|multi|openclose|send|receive|slow|error) ' "$work/drive.out" | tail -n 1) || true
    # The driver's remarks (which cycles failed and how) go to the appendix.
    grep -Ev '^(rtt|stream|multi|openclose|send|receive|slow|error) ' "$work/drive.out" | sed "s|^|$label: |" >>"$raw" || true
    echo "$label: $line" >>"$raw"
    echo "   $label: $line"
    # A port closed and opened at once is a case of its own (measured by
    # openclose); between two runs the bridge gets a moment.
    sleep 0.3
}
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

# Median of the numbers given (empty when none).
median() {
    printf '%s\n' "$@" | grep -E '^[0-9.]+$' | sort -g | awk '{v[NR]=$1} END {if (NR) print v[int((NR+1)/2)]}'
}

# The bridge's arguments in a driver command line: @PATH@ is its port,
# @PATHS@ the ports in nim_paths or socat_paths, @PIDS@ the processes whose
# CPU is measured (cpu_nimbrel or cpu_socat, comma-separated). Sets $args.
bridge_args() {
    local who=$1 path=$2; shift 2
    local a pids
    [[ $who == nimbrel ]] && pids=${cpu_nimbrel:-} || pids=${cpu_socat:-}
    args=()
    for a in "$@"; do
        if [[ $a == @PATHS@ ]]; then
            if [[ $who == nimbrel ]]; then args+=("${nim_paths[@]}"); else args+=("${socat_paths[@]}"); fi
        else
            a=${a//@PATH@/$path}
            args+=("${a//@PIDS@/$pids}")
        fi
    done
}

# Runs the driver with "$@" (see bridge_args) $repeat times for each
# bridge, alternating, and keeps the median of every field named.
alternate() {
    local key=$1 nim_path=$2 socat_path=$3 fields=$4; shift 4
    local -A got=()
    local r f who path
    for ((r = 1; r <= repeat; r++)); do
        for who in nimbrel socat; do
            [[ $who == nimbrel ]] && path=$nim_path || path=$socat_path
            bridge_args "$who" "$path" "$@"
            drive "$key/$who#$r" "${args[@]}"
            for f in $fields; do got[$who.$f]+="$(field "$f" "$line") "; done
            if [[ $line != "${1} "* ]]; then R[$key.$who.failed]=$((${R[$key.$who.failed]:-0} + 1)); fi
        done
    done
    for who in nimbrel socat; do
        for f in $fields; do
            # shellcheck disable=SC2086
            R[$key.$who.$f]=$(median ${got[$who.$f]})
        done
    done
}

# Ends a tracer the way that makes it write its counts (SIGINT), then for
# good. A tracer is started with SIGINT at its default: a background job of
# a script would inherit it ignored.
end_tracer() {
    local p=$1
    kill -INT "$p" 2>/dev/null || true
    for _ in $(seq 600); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
    stop "$p"
}

# perf counts every system call (raw_syscalls) and these one by one; the
# rest show as "others". Not all of them: perf takes tens of milliseconds to
# let go of each tracepoint.
perf_events=(-e raw_syscalls:sys_enter)
for name in read write readv writev pread64 pwrite64 recvfrom sendto recvmsg sendmsg recvmmsg sendmmsg \
    poll ppoll select pselect6 epoll_wait epoll_pwait epoll_ctl ioctl fcntl futex nanosleep clock_nanosleep \
    getsockopt setsockopt splice sched_yield; do
    perf_events+=(-e "syscalls:sys_enter_$name")
done
# Which tool counts system calls: perf's tracepoints (counted in the
# kernel, no stop per call), else strace, else none.
if [[ $syscall_tool == auto ]]; then
    if perf stat -x, "${perf_events[@]}" -- true >/dev/null 2>&1; then
        syscall_tool=perf
    elif strace -c -o /dev/null -- true >/dev/null 2>&1; then
        syscall_tool=strace
    else
        syscall_tool=off
    fi
fi

# The system calls of process TARGET (all its threads) during one more,
# untimed run of the driver with "$@" (see bridge_args) carrying MB (10^6
# bytes; each way for the echo): R[KEY.WHO.sc] becomes calls per MB, the
# appendix gets the total and the top calls. Empty when no tool could count.
count_syscalls() {
    local key=$1 who=$2 target=$3 mb=$4 path=$5; shift 5
    local out=$work/syscalls-$key-$who.txt tracer a total="" top="" ran=0
    bridge_args "$who" "$path" "$@"
    if [[ $syscall_tool == perf ]]; then
        local ctl=$work/perf.ctl ack=$work/perf.ack cfd afd
        rm -f "$ctl" "$ack"
        mkfifo "$ctl" "$ack"
        # Both ends held here, so that opening a fifo never waits for perf.
        exec {cfd}<>"$ctl" {afd}<>"$ack"
        spawn "perf-$key-$who" env --default-signal=INT perf stat -x, -o "$out" -D -1 \
            --control "fifo:$ctl,$ack" "${perf_events[@]}" -p "$target"
        tracer=$pid
        # Counting starts once perf says it has, after it attached to every thread.
        if echo enable >&"$cfd" && read -t 20 -r a <&"$afd" && [[ $a == ack ]]; then
            drive "$key/$who+syscalls" "${args[@]}"
            if [[ $line == "${args[0]} "* ]]; then ran=1; fi
            echo disable >&"$cfd"
            read -t 20 -r a <&"$afd" || true
        fi
        end_tracer "$tracer"
        exec {cfd}>&- {afd}>&-
        if ((ran)); then
            total=$(awk -F, '$3 == "raw_syscalls:sys_enter" && $1 ~ /^[0-9]+$/ {print $1}' "$out")
            local named
            named=$(awk -F, '$3 ~ /^syscalls:sys_enter_/ && $1 ~ /^[0-9]+$/ && $1 > 0 {sub(/^syscalls:sys_enter_/, "", $3); print $1, $3}' "$out")
            top=$(sort -nr <<<"$named" | head -n 6 | awk '{printf "%s%s=%s", (NR > 1 ? " " : ""), $2, $1}')
            top+=" others=$(awk -v t="${total:-0}" '{s += $1} END {print t - s}' <<<"$named")"
        fi
    elif [[ $syscall_tool == strace ]]; then
        spawn "strace-$key-$who" env --default-signal=INT strace -c -f -p "$target" -o "$out"
        tracer=$pid
        if wait_until 20 has_line "$work/strace-$key-$who.log" 'attached'; then
            drive "$key/$who+syscalls" "${args[@]}"
            if [[ $line == "${args[0]} "* ]]; then ran=1; fi
        fi
        end_tracer "$tracer"
        if ((ran)); then
            # % time, seconds, usecs/call, calls, [errors,] syscall
            total=$(awk '$NF == "total" {print $4}' "$out")
            top=$(awk '$4 ~ /^[0-9]+$/ && $NF != "total" && $NF ~ /^[a-z_0-9]+$/ {print $4, $NF}' "$out" |
                sort -nr | head -n 6 | awk '{printf "%s%s=%s", (NR > 1 ? " " : ""), $2, $1}')
        fi
    fi
    if [[ -n $total ]]; then
        R[$key.$who.sc]=$(awk -v n="$total" -v m="$mb" 'BEGIN {printf "%.0f", n / m}')
        echo "$key/$who syscalls ($syscall_tool): total=$total per_mb=${R[$key.$who.sc]} top: $top" >>"$raw"
        echo "   $key/$who: ${R[$key.$who.sc]} system calls per MB ($top)"
    else
        echo "$key/$who syscalls ($syscall_tool): not counted" >>"$raw"
    fi
}

proc_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
proc_status() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
proc_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
proc_pss() { awk '$1 == "Pss:" {print $2}' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0; }

# What else runs shows in every figure: say so when the machine is busy.
cpu_busy() {
    local a b
    read -r -a a < <(awk '/^cpu / {print $5 + $6, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat)
    sleep 2
    read -r -a b < <(awk '/^cpu / {print $5 + $6, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat)
    echo $((100 - 100 * (b[0] - a[0]) / (b[1] - a[1] > 0 ? b[1] - a[1] : 1)))
}
echo "== machine"
busy_before=$(cpu_busy)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load $load_before, ${busy_before} % of the CPUs busy before the run"
if ((busy_before > 10)); then
    echo "bench/run.sh: warning: something else uses ${busy_before} % of the CPUs; the figures will show it" >&2
fi
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
echo "$cores cores, $cpu_model"
bench_start=$SECONDS

# ---- 1, 2: round trips over a TCP client port (1 byte and 1 KiB) ----
echo "== round trips, TCP client port"
start_echo echo-client tcp-listen 0
start_nimbreld rtt-client client 1 "$echo_port" 0
start_socat rtt-client-socat 1 "TCP:127.0.0.1:$echo_port"
alternate rtt1.client "$nim_dir/COM1" "$socat_dir/COM1" "p50_us p99_us" rtt @PATH@ "$rtt_count" 1
alternate rtt1k.client "$nim_dir/COM1" "$socat_dir/COM1" "p50_us p99_us" rtt @PATH@ "$rtt_count" 1024

# ---- 3: a stream through the echo, verified; the bridge's CPU for it ----
echo "== stream of $stream_bytes bytes, TCP client port"
cpu_nimbrel=$nim_pid cpu_socat=${socat_pids[0]}
stream_mb=$(awk -v b="$stream_bytes" 'BEGIN {print b / 1e6}')
alternate stream "$nim_dir/COM1" "$socat_dir/COM1" "mbps cpu_ms_per_mb" stream @PATH@ "$stream_bytes" --cpu-pids @PIDS@
count_syscalls stream nimbrel "$nim_pid" "$stream_mb" "$nim_dir/COM1" stream @PATH@ "$stream_bytes"
count_syscalls stream socat "${socat_pids[0]}" "$stream_mb" "$socat_dir/COM1" stream @PATH@ "$stream_bytes"
stop_all "$nim_pid" "${socat_pids[@]}"

# ---- 3b: the same stream with the port's monitor on ----
# A second nimbreld whose COM1 is monitored (its lines formatted and
# written, to /dev/null so that no disk takes part), each run beside one of
# the first without a monitor, in turn; the worker must not wait for the
# monitor, so the stream keeps at least 0.8 of its speed.
if "$nimbreld" --help 2>/dev/null | grep -q -- '--monitor COMn'; then
    echo "== stream of $stream_bytes bytes, TCP client port, monitor on and off"
    start_nimbreld stream-off client 1 "$echo_port" 0
    off_pid=$nim_pid off_dir=$nim_dir
    start_nimbreld stream-monitor client 1 "$echo_port" 0 --monitor COM1 --monitor-file /dev/null
    mon_pid=$nim_pid mon_dir=$nim_dir
    mon_got="" off_got=""
    for ((r = 1; r <= repeat; r++)); do
        drive "stream-monitor-off/nimbrel#$r" stream "$off_dir/COM1" "$stream_bytes"
        [[ $line == "stream "* ]] || R[streamoff.nimbrel.failed]=$((${R[streamoff.nimbrel.failed]:-0} + 1))
        off_got+="$(field mbps "$line") "
        drive "stream-monitor-on/nimbrel#$r" stream "$mon_dir/COM1" "$stream_bytes"
        [[ $line == "stream "* ]] || R[streammon.nimbrel.failed]=$((${R[streammon.nimbrel.failed]:-0} + 1))
        mon_got+="$(field mbps "$line") "
    done
    # shellcheck disable=SC2086
    R[streamoff.nimbrel.mbps]=$(median $off_got)
    # shellcheck disable=SC2086
    R[streammon.nimbrel.mbps]=$(median $mon_got)
    stop_all "$off_pid" "$mon_pid"
fi
stop "$echo_pid"

# ---- 3c: one way at a time, program -> peer and peer -> program ----
# A bulk peer checks what the program sends and sends what it reads; the
# bridge's CPU per MB and its system calls for each direction.
echo "== $stream_bytes bytes one way, TCP client port: CPU and system calls"
start_echo bulk tcp-listen 0 --bulk
bulk_pid=$echo_pid
start_nimbreld oneway client 1 "$echo_port" 0
start_socat oneway-socat 1 "TCP:127.0.0.1:$echo_port"
cpu_nimbrel=$nim_pid cpu_socat=${socat_pids[0]}
for dir in send receive; do
    alternate "$dir" "$nim_dir/COM1" "$socat_dir/COM1" "mbps cpu_ms_per_mb" "$dir" @PATH@ "$stream_bytes" --cpu-pids @PIDS@
    count_syscalls "$dir" nimbrel "$nim_pid" "$stream_mb" "$nim_dir/COM1" "$dir" @PATH@ "$stream_bytes"
    count_syscalls "$dir" socat "${socat_pids[0]}" "$stream_mb" "$socat_dir/COM1" "$dir" @PATH@ "$stream_bytes"
done
# What the peer checked, for the appendix: a sink that found a wrong byte says where.
grep -E '^(sink|error)' "$work/bulk.log" | grep -v 'verified=1' | sed 's|^|bulk peer: |' >>"$raw" || true
stop_all "$nim_pid" "${socat_pids[@]}" "$bulk_pid"

# ---- 1: round trips over a TCP server port: the echo dials the bridge ----
echo "== round trips, TCP server port"
pick_port; nim_listen=$port
pick_port; socat_listen=$port
start_nimbreld rtt-server server 1 0 "$nim_listen"
start_socat rtt-server-socat 1 "TCP-LISTEN:$socat_listen,reuseaddr,bind=127.0.0.1"
start_echo echo-server-nim tcp-connect "$nim_listen" 1
echo_nim=$echo_pid
start_echo echo-server-socat tcp-connect "$socat_listen" 1
echo_socat=$echo_pid
alternate rtt1.server "$nim_dir/COM1" "$socat_dir/COM1" "p50_us p99_us" rtt @PATH@ "$rtt_count" 1
stop_all "$echo_nim" "$echo_socat" "$nim_pid" "${socat_pids[@]}"

# ---- 1: round trips over a UDP port ----
echo "== round trips, UDP port"
start_echo echo-udp udp 0
pick_port; nim_local=$port
pick_port; socat_local=$port
start_nimbreld rtt-udp udp 1 "$echo_port" "$nim_local"
start_socat rtt-udp-socat 1 "UDP:127.0.0.1:$echo_port,sourceport=$socat_local"
alternate rtt1.udp "$nim_dir/COM1" "$socat_dir/COM1" "p50_us p99_us" rtt @PATH@ "$rtt_count" 1
stop_all "$nim_pid" "${socat_pids[@]}" "$echo_pid"

# The first COUNT ports of both bridges; sets $nim_paths and $socat_paths.
port_paths() {
    local i
    nim_paths=() socat_paths=()
    for ((i = 1; i <= $1; i++)); do
        nim_paths+=("$nim_dir/COM$i")
        socat_paths+=("$socat_dir/COM$i")
    done
}

# ---- 4: 64 ports streaming at once ----
echo "== $multi_ports ports streaming at once, $multi_bytes bytes each"
start_echo echo-multi tcp-listen 0
start_nimbreld multi client "$multi_ports" "$echo_port" 0
start_socat multi-socat "$multi_ports" "TCP:127.0.0.1:$echo_port"
port_paths "$multi_ports"
m_nim=() m_socat=()
for ((r = 1; r <= repeat; r++)); do
    drive "multi/nimbrel#$r" multi "$multi_bytes" "${nim_paths[@]}"
    m_nim+=("$(field mbps "$line")")
    if [[ $line != "multi "* ]]; then R[multi.nimbrel.failed]=$((${R[multi.nimbrel.failed]:-0} + 1)); fi
    drive "multi/socat#$r" multi "$multi_bytes" "${socat_paths[@]}"
    m_socat+=("$(field mbps "$line")")
    if [[ $line != "multi "* ]]; then R[multi.socat.failed]=$((${R[multi.socat.failed]:-0} + 1)); fi
done
R[multi.nimbrel.mbps]=$(median "${m_nim[@]}")
R[multi.socat.mbps]=$(median "${m_socat[@]}")
stop_all "$nim_pid" "${socat_pids[@]}" "$echo_pid"

# ---- 5: 256 started, idle ports; both measured over the same window ----
echo "== $idle_ports idle ports, CPU over $idle_seconds s"
start_echo echo-idle tcp-listen 0
start_nimbreld idle client "$idle_ports" "$echo_port" 0
start_socat idle-socat "$idle_ports" "TCP:127.0.0.1:$echo_port"
sleep 2
tck=$(getconf CLK_TCK)
sum_ticks() { local s=0 p; for p in "$@"; do s=$((s + $(proc_ticks "$p"))); done; echo "$s"; }
n0=$(proc_ticks "$nim_pid"); s0=$(sum_ticks "${socat_pids[@]}")
sleep "$idle_seconds"
n1=$(proc_ticks "$nim_pid"); s1=$(sum_ticks "${socat_pids[@]}")
R[idle.nimbrel.cpu]=$(awk -v d=$((n1 - n0)) -v t="$tck" -v s="$idle_seconds" 'BEGIN {printf "%.2f", 100 * d / t / s}')
R[idle.socat.cpu]=$(awk -v d=$((s1 - s0)) -v t="$tck" -v s="$idle_seconds" 'BEGIN {printf "%.2f", 100 * d / t / s}')
R[idle.nimbrel.rss]=$(proc_status "$nim_pid" VmRSS)
R[idle.nimbrel.pss]=$(proc_pss "$nim_pid")
R[idle.nimbrel.threads]=$(proc_status "$nim_pid" Threads)
R[idle.nimbrel.fds]=$(proc_fds "$nim_pid")
rss=0 pss=0 fds=0
for p in "${socat_pids[@]}"; do
    rss=$((rss + $(proc_status "$p" VmRSS))); pss=$((pss + $(proc_pss "$p"))); fds=$((fds + $(proc_fds "$p")))
done
R[idle.socat.rss]=$rss R[idle.socat.pss]=$pss R[idle.socat.fds]=$fds R[idle.socat.threads]=${#socat_pids[@]}
echo "   nimbreld ${R[idle.nimbrel.cpu]} % CPU, ${R[idle.nimbrel.rss]} kB RSS; socat ${R[idle.socat.cpu]} % CPU, $rss kB RSS"
stop_all "$nim_pid" "${socat_pids[@]}" "$echo_pid"

# ---- 5b: 256 slow ports, each echoed: 64 bytes every 5.5 ms each way ----
# One driver thread on a timer writes to every port and checks every echoed
# byte; the bridge's CPU (summed over the 256 socat processes) and context
# switches (over all its threads) while it runs.
echo "== $slow_ports slow ports, 64 bytes every 5.5 ms each, $slow_seconds s"
start_echo echo-slow tcp-listen 0
start_nimbreld slow client "$slow_ports" "$echo_port" 0
start_socat slow-socat "$slow_ports" "TCP:127.0.0.1:$echo_port"
port_paths "$slow_ports"
cpu_nimbrel=$nim_pid
cpu_socat=$(IFS=,; echo "${socat_pids[*]}")
alternate slow - - "cpu_percent ctxsw_per_s kBps_per_port" slow "$slow_seconds" @PATHS@ --cpu-pids @PIDS@
stop_all "$nim_pid" "${socat_pids[@]}" "$echo_pid"

# ---- 6: open/close cycles of a client port; what grows in the bridge ----
echo "== $cycles open/close cycles, TCP client port"
start_echo echo-oc tcp-listen 0
start_nimbreld openclose client 1 "$echo_port" 0
start_socat openclose-socat 1 "TCP:127.0.0.1:$echo_port"
for who in nimbrel socat; do
    if [[ $who == nimbrel ]]; then p=$nim_pid path=$nim_dir/COM1; else p=${socat_pids[0]} path=$socat_dir/COM1; fi
    # Warm up first, so that what is made once (rings, buffers) is not
    # counted as growth; then let the last close settle before each look.
    drive "openclose-warmup/$who" openclose "$path" 20
    sleep 1
    f0=$(proc_fds "$p") t0=$(proc_status "$p" Threads) m0=$(proc_status "$p" VmRSS)
    drive "openclose/$who" openclose "$path" "$cycles"
    R[oc.$who.ms]=$(field ms_per_cycle "$line")
    R[oc.$who.count]=$(field count "$line")
    R[oc.$who.lost]=$(field lost "$line")
    R[oc.$who.wrong]=$(field wrong "$line")
    R[oc.$who.p50]=$(field p50_ms "$line")
    R[oc.$who.failures]=$(field failures "$line")
    R[oc.$who.first]="$(field first_failure_cycle "$line") $(field first_failure "$line")"
    sleep 1
    f1=$(proc_fds "$p") t1=$(proc_status "$p" Threads) m1=$(proc_status "$p" VmRSS)
    R[oc.$who.fds]="$f0 -> $f1" R[oc.$who.dfds]=$((f1 - f0))
    R[oc.$who.threads]="$t0 -> $t1" R[oc.$who.dthreads]=$((t1 - t0))
    R[oc.$who.rss]="$m0 -> $m1" R[oc.$who.drss]=$((m1 - m0))
done
stop_all "$nim_pid" "${socat_pids[@]}" "$echo_pid"
bench_seconds=$((SECONDS - bench_start))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- the table ----
rows=()
# row METRIC NIMBREL SOCAT RATIO TARGET VERDICT
row() { rows+=("$1|$2|$3|$4|$5|$6"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b}'; }
# Lower is better: PASS when nimbreld/socat <= LIMIT.
at_most() { awk -v r="$1" -v l="$2" 'BEGIN {print (r != "-" && r + 0 <= l + 0) ? "PASS" : "MISS"}'; }
at_least() { awk -v r="$1" -v l="$2" 'BEGIN {print (r != "-" && r + 0 >= l + 0) ? "PASS" : "MISS"}'; }
shown() { if [[ -n $1 ]]; then echo "$1"; else echo "fail"; fi; }
# A run of nimbreld that failed is a miss whatever the others measured.
checked() { if [[ ${R[$1.nimbrel.failed]:-0} != 0 ]]; then echo MISS; else echo "$2"; fi; }
# A median with the runs that failed (no verified result) named beside it.
median_of() {
    local key=$1 who=$2 f=$3
    local v=${R[$key.$who.$f]:-} k=${R[$key.$who.failed]:-0}
    if [[ $k == 0 ]]; then shown "$v"; else echo "$(shown "$v") ($k of $repeat runs failed)"; fi
}

latency_rows() {
    local key=$1 title=$2 q r
    for q in p50 p99; do
        local n=${R[$key.nimbrel.${q}_us]:-} s=${R[$key.socat.${q}_us]:-}
        local nv sv
        nv=$(median_of "$key" nimbrel "${q}_us") sv=$(median_of "$key" socat "${q}_us")
        r=$(ratio "$n" "$s")
        if [[ $q == p50 ]]; then
            row "$title $q (µs)" "$nv" "$sv" "$r" "≤ 1.1× socat" "$(checked "$key" "$(at_most "$r" 1.1)")"
        else
            row "$title $q (µs)" "$nv" "$sv" "$r" "≤ 1.5× socat" "$(checked "$key" "$(at_most "$r" 1.5)")"
        fi
    done
}
latency_rows rtt1.client "1 B round trip, TCP client"
latency_rows rtt1.server "1 B round trip, TCP server"
latency_rows rtt1.udp "1 B round trip, UDP"
latency_rows rtt1k.client "1 KiB round trip, TCP client"
r=$(ratio "${R[stream.nimbrel.mbps]:-}" "${R[stream.socat.mbps]:-}")
row "$((stream_bytes / 1000000)) MB stream, verified (MB/s)" "$(median_of stream nimbrel mbps)" \
    "$(median_of stream socat mbps)" "$r" "≥ socat" "$(checked stream "$(at_least "$r" 1)")"
if [[ -n ${R[streammon.nimbrel.mbps]+set} ]]; then
    r=$(ratio "${R[streammon.nimbrel.mbps]:-}" "${R[streamoff.nimbrel.mbps]:-}")
    verdict=$(checked streamoff "$(checked streammon "$(at_least "$r" 0.8)")")
    row "$((stream_bytes / 1000000)) MB stream, monitor on, verified (MB/s)" \
        "$(median_of streammon nimbrel mbps) (off: $(median_of streamoff nimbrel mbps))" "-" "$r (on/off)" \
        "≥ 0.8× off" "$verdict"
fi
# CPU per MB: lower is better, within LIMIT times socat's.
cpu_row() {
    local key=$1 title=$2 limit=$3 target=$4 r
    r=$(ratio "${R[$key.nimbrel.cpu_ms_per_mb]:-}" "${R[$key.socat.cpu_ms_per_mb]:-}")
    row "$title" "$(median_of "$key" nimbrel cpu_ms_per_mb)" "$(median_of "$key" socat cpu_ms_per_mb)" "$r" \
        "$target" "$(checked "$key" "$(at_most "$r" "$limit")")"
}
cpu_row send "CPU per MB, program → peer (ms)" 1 "≤ socat"
cpu_row receive "CPU per MB, peer → program (ms)" 1.3 "≤ 1.3× socat"
cpu_row stream "CPU per MB, echo both ways at once (ms per MB each way)" 1 "≤ socat"
dash() { if [[ -n $1 ]]; then echo "$1"; else echo "-"; fi; }
syscall_row() {
    local key=$1 title=$2
    local n=${R[$key.nimbrel.sc]:-} s=${R[$key.socat.sc]:-}
    row "$title" "$(dash "$n")" "$(dash "$s")" "$(ratio "$n" "$s")" "-" "-"
}
syscall_row send "System calls per MB, program → peer"
syscall_row receive "System calls per MB, peer → program"
syscall_row stream "System calls per MB, echo (per MB each way)"
r=$(ratio "${R[multi.nimbrel.mbps]:-}" "${R[multi.socat.mbps]:-}")
row "$multi_ports ports at once, aggregate (MB/s)" "$(median_of multi nimbrel mbps)" \
    "$(median_of multi socat mbps)" "$r" "≥ socat" "$(checked multi "$(at_least "$r" 1)")"
n=${R[idle.nimbrel.cpu]} s=${R[idle.socat.cpu]}
row "$idle_ports idle ports, CPU (% of a core)" "$n" "$s" "$(ratio "$n" "$s")" "< 1 %" \
    "$(awk -v v="$n" 'BEGIN {print (v + 0 < 1) ? "PASS" : "MISS"}')"
n=$(awk -v k="${R[idle.nimbrel.rss]}" 'BEGIN {printf "%.1f", k / 1024}')
s=$(awk -v k="${R[idle.socat.rss]}" 'BEGIN {printf "%.1f", k / 1024}')
row "$idle_ports idle ports, VmRSS (MB)" "$n" "$s" "$(ratio "$n" "$s")" "< 64 MB" \
    "$(awk -v v="$n" 'BEGIN {print (v + 0 < 64) ? "PASS" : "MISS"}')"
r=$(ratio "${R[slow.nimbrel.cpu_percent]:-}" "${R[slow.socat.cpu_percent]:-}")
row "$slow_ports slow ports, 64 B / 5.5 ms echoed, CPU (% of a core)" "$(median_of slow nimbrel cpu_percent)" \
    "$(median_of slow socat cpu_percent)" "$r" "≤ 0.5× socat" "$(checked slow "$(at_most "$r" 0.5)")"
row "$slow_ports slow ports, context switches (/s)" "$(median_of slow nimbrel ctxsw_per_s)" \
    "$(median_of slow socat ctxsw_per_s)" "$(ratio "${R[slow.nimbrel.ctxsw_per_s]:-}" "${R[slow.socat.ctxsw_per_s]:-}")" "-" "-"
n=${R[oc.nimbrel.ms]:-} s=${R[oc.socat.ms]:-}
verdict=$(awk -v v="$n" -v f="${R[oc.nimbrel.failures]:-1}" 'BEGIN {print (v != "" && v + 0 < 20 && f == 0) ? "PASS" : "MISS"}')
# A cycle whose echo does not come within 0.5 s ends as lost; one that reads
# other bytes (an earlier cycle's late echo) as wrong. The median shows the
# usual cycle.
oc_note() {
    local who=$1
    if [[ ${R[oc.$who.failures]:-0} != 0 ]]; then
        echo " (p50 ${R[oc.$who.p50]}; in ${R[oc.$who.count]} cycles ${R[oc.$who.lost]} lost, ${R[oc.$who.wrong]} wrong; first at cycle ${R[oc.$who.first]% *})"
    fi
}
note=$(oc_note nimbrel)
s="$s$(oc_note socat)"
row "$cycles open/close cycles (ms per cycle)" "$(shown "$n")$note" "$(shown "$s")" "$(ratio "$n" "${R[oc.socat.ms]:-}")" \
    "< 20 ms, no loss" "$verdict"
growth_row() {
    local what=$1 key=$2 limit=$3 unit=$4
    local d=${R[oc.nimbrel.d$key]}
    row "open/close: $what growth" "${R[oc.nimbrel.$key]} ($d$unit)" "${R[oc.socat.$key]} (${R[oc.socat.d$key]}$unit)" "-" \
        "≤ $limit$unit" "$(awk -v d="$d" -v l="$limit" 'BEGIN {print (d + 0 <= l + 0) ? "PASS" : "MISS"}')"
}
growth_row "open descriptors" fds 0 ""
growth_row "threads" threads 0 ""
# Up to 64 pages of allocator noise count as no growth.
growth_row "VmRSS (kB)" rss 256 " kB"

table() {
    echo "| Measurement | nimbreld | socat | nimbreld/socat | Target | Result |"
    echo "|---|---:|---:|---:|---|---|"
    local x
    for x in "${rows[@]}"; do echo "| ${x//|/ | } |"; done
}

echo
echo "== results ($(date -u '+%Y-%m-%d %H:%M UTC'), $cores cores, $cpu_model, ${bench_seconds} s)"
printf '%-42s %-30s %-28s %-6s %-18s %s\n' Measurement nimbreld socat ratio Target Result
for x in "${rows[@]}"; do
    IFS='|' read -r a b c d e f <<<"$x"
    printf '%-42s %-30s %-28s %-6s %-18s %s\n' "$a" "$b" "$c" "$d" "$e" "$f"
done

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- 2>/dev/null || commit="$commit + local changes"
measured="nimbreld Release build of $commit"
if [[ -n ${BENCH_NIMBRELD:-} ]]; then measured="nimbreld from $BENCH_NIMBRELD (tree at $commit)"; fi
results=${BENCH_RESULTS:-bench/results.md}
# Notes written by hand below this line survive the next run.
marker='<!-- notes below are kept by bench/run.sh -->'
kept=""
if [[ -f $results ]]; then kept=$(awk -v m="$marker" 'f {print} $0 == m {f = 1}' "$results"); fi
{
    echo "# nimbreld beside socat on loopback"
    echo
    echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'): $cores cores (\`nproc\`),"
    echo "$cpu_model, Linux $(uname -r), $(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/socat \1/p'),"
    echo "$measured; the run took ${bench_seconds} s after the build."
    echo "Before it ${busy_before} % of the CPUs were busy (load $load_before); load after: $load_after."
    echo
    table
    echo
    echo "Latencies and streams are medians of $repeat runs, each bridge in turn; a"
    echo "round-trip run is $rtt_count samples after 100 of warm-up. One echo peer"
    echo "(\`nimbrel_echo_peer\`) and one application side (\`nimbrel_port_driver\`)"
    echo "serve both bridges; socat is one process a port"
    echo "(\`socat PTY,raw,echo=0,link=COMn TCP:127.0.0.1:P\` and the like), so its"
    echo "idle figures are sums over $idle_ports processes, shared library pages counted"
    echo "in each (PSS sum: $((${R[idle.socat.pss]} / 1024)) MB; nimbreld's PSS: $((${R[idle.nimbrel.pss]} / 1024)) MB)."
    echo "A socat client port connects when started, a nimbreld one when opened, so"
    echo "the open/close cycle includes a TCP connect for nimbreld only. MB = 10^6 bytes."
    echo
    echo "CPU is utime+stime of the bridge from \`/proc/PID/stat\` (nimbreld with all"
    echo "its threads; socat: the one process of the port), read by the driver"
    echo "after a first exchange on the opened port and again when the last byte"
    echo "is checked, in the same runs as the figures beside it (medians of $repeat;"
    echo "the stream's MB/s and CPU also start after that first exchange, so no"
    echo "connect is in them). Program → peer: \`nimbrel_port_driver send\` writes"
    echo "$stream_mb MB of the pattern and \`nimbrel_echo_peer --bulk\` checks every"
    echo "byte and confirms; peer → program: the peer sends, \`receive\` checks. Echo:"
    echo "the stream above, both ways at once, per MB carried each way. A clock tick"
    echo "is $((1000 / $(getconf CLK_TCK))) ms, so one run's CPU is known to about ±$(awk -v t="$(getconf CLK_TCK)" -v m="$stream_mb" 'BEGIN {printf "%.2f", 1000 / t / m}') ms per MB."
    if [[ $syscall_tool == off ]]; then
        echo "System calls: not counted, neither perf nor strace could attach (\"-\")."
    else
        echo "System calls: one more run of each, not timed, counted by $syscall_tool"
        echo "attached to the bridge (every thread); the top calls are in the appendix."
    fi
    echo "$slow_ports slow ports: 256 client ports of one nimbreld against 256 socat"
    echo "processes, one echo connection each; one driver thread writes 64 bytes to"
    echo "each port every 5.5 ms (the ports in 8 groups spread over the interval) for"
    echo "$slow_seconds s and checks every echoed byte; CPU over that time, as % of one"
    echo "core; context switches summed over the bridge's threads (socat: its"
    echo "processes)."
    echo
    echo "<details><summary>Every measured line</summary>"
    echo
    echo '```'
    cat "$raw"
    echo '```'
    echo "</details>"
    echo
    echo "$marker"
    if [[ -n $kept ]]; then echo "$kept"; fi
} >"$results"
echo
echo "Written to $results"
