#!/bin/bash
# Measurement fidelity and speed of trafficgen, on a private veth pair, in one table.
#
#   bash bench/run.sh [--runs N] [--seconds S] [--rate-seconds S] [--rate-repeats N]
#                     [--delay-seconds S] [--memory-seconds S] [--binary PATH]
#
# Run as root from a clone of the repository. Installs what it needs (tcpreplay, tcpdump,
# GNU time), builds build/trafficgen and build/bench/benchtool, creates its own network
# namespace with one veth pair (removed again on any exit) and measures:
#   - send rate of the throughput test vs a bare pcap_sendpacket loop and tcpreplay --topspeed,
#   - self-loss of full-speed throughput runs (--runs x --seconds; the release check is 20 x 10),
#   - reported minimum and mean delay at 1 frame/ms vs an independent tcpdump capture,
#   - time from the last sender's end to the end of the cycle (1 and 10 streams),
#   - peak resident memory of a 1 s and a --memory-seconds full-speed run.
# Details of every run land in build/bench/last-run.log.
set -euo pipefail

RUNS=3
SECONDS_PER_RUN=5
RATE_SECONDS=2
RATE_REPEATS=9
DELAY_SECONDS=5
MEMORY_SECONDS=60
BINARY=""

usage() {
    sed -n '4,5p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while (($#)); do
    case $1 in
    --runs) RUNS=$2 ;;
    --seconds) SECONDS_PER_RUN=$2 ;;
    --rate-seconds) RATE_SECONDS=$2 ;;
    --rate-repeats) RATE_REPEATS=$2 ;;
    --delay-seconds) DELAY_SECONDS=$2 ;;
    --memory-seconds) MEMORY_SECONDS=$2 ;;
    --binary) BINARY=$2 ;;
    *) usage ;;
    esac
    shift 2 || usage
done
for n in "$RUNS" "$SECONDS_PER_RUN" "$RATE_SECONDS" "$RATE_REPEATS" "$DELAY_SECONDS" "$MEMORY_SECONDS"; do
    [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "bench: counts and durations are whole numbers >= 1" >&2; exit 2; }
done
((EUID == 0)) || { echo "bench: run as root (it creates a network namespace)" >&2; exit 1; }

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

# ------------------------------------------------------------------ install and build
bash scripts/install-deps.sh tcpreplay time
if [[ -z $BINARY ]]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target trafficgen
    BINARY=$ROOT/build/trafficgen
fi
BINARY=$(cd "$(dirname "$BINARY")" && pwd)/$(basename "$BINARY")
[[ -x $BINARY ]] || { echo "bench: $BINARY is not an executable" >&2; exit 1; }
mkdir -p build/bench
cc -O2 -Wall -Wextra -Werror -o build/bench/benchtool bench/benchtool.c -lpcap
TOOL=$ROOT/build/bench/benchtool
LOG=$ROOT/build/bench/last-run.log
: >"$LOG"

# ------------------------------------------------------------------ private network
NS="tgbench$$"
TX="tgbs$$"
RX="tgbr$$"
NET=$(($$ % 250 + 1))
WORK=$(mktemp -d /tmp/tg-bench.XXXXXX)
BACKGROUND=()

cleanup() {
    local status=$? pid
    for pid in "${BACKGROUND[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${BACKGROUND[@]}"; do wait "$pid" 2>/dev/null || true; done
    ip netns del "$NS" 2>/dev/null || true
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$NS"
ip netns exec "$NS" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip -n "$NS" link add "$TX" type veth peer name "$RX"
ip -n "$NS" addr add "10.78.$NET.1/24" dev "$TX"
ip -n "$NS" addr add "10.78.$NET.2/24" dev "$RX"
ip -n "$NS" link set lo up
ip -n "$NS" link set "$TX" up
ip -n "$NS" link set "$RX" up
MAC=$(ip netns exec "$NS" cat "/sys/class/net/$RX/address")
for _ in $(seq 50); do
    [[ $(ip netns exec "$NS" cat "/sys/class/net/$RX/operstate") == up ]] && break
    sleep 0.1
done

in_ns() { ip netns exec "$NS" "$@"; }
counter() { in_ns cat "/sys/class/net/$1/statistics/$2"; }
log() { printf '%s\n' "$*" >>"$LOG"; }
calc() { awk "BEGIN { printf \"%s\", $* }"; }
median() { tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Configuration files of the runs below.
throughput_conf() { # FILE DURATION_US
    cat >"$1" <<EOF
sending interface = $TX
receiving interface = $RX
operation = 1
destination MAC = $MAC
duration = $2
[STREAM 1]
TOS = 0
EOF
}
paced_conf() { # FILE DURATION_US STREAMS: constant 1000-byte frames, one every 1000 us per stream
    {
        printf 'sending interface = %s\nreceiving interface = %s\noperation = 2\n' "$TX" "$RX"
        printf 'destination MAC = %s\nduration = %s\ncycles = 1\nstream count = %s\n' "$MAC" "$2" "$3"
        local s
        for ((s = 1; s <= $3; s++)); do
            printf '[STREAM %d]\nTOS = 0\nsize distribution = 0\nsize constant value = 1000\n' "$s"
            printf 'time distribution = 0\ntime constant value = 1000\n'
        done
    } >"$1"
}

# Runs trafficgen on FILE in the scratch directory; standard output and error go to
# $WORK/out and $WORK/err (copied to the log). Extra words before FILE prefix the command.
run_tg() {
    local status=0
    (cd "$WORK" && in_ns "$@") >"$WORK/out" 2>"$WORK/err" || status=$?
    log "--- $* (status $status)"
    cat "$WORK/out" "$WORK/err" >>"$LOG"
    if ((status != 0)); then
        echo "bench: trafficgen failed (status $status), see $LOG" >&2
        cat "$WORK/err" >&2
        exit 1
    fi
}
# Field F of stream S's first row in $WORK/out: row_field S F, with F 4 received, 5 sent,
# 6 loss, 8 minimum delay, 10 mean delay.
row_field() {
    awk -F'|' -v f="$2" -v s="$1" '/^\| +[0-9]+ \| +[0-9]+ \| / && NF == 12 {
        st = $3; gsub(/ /, "", st); if (st == s) { v = $f; gsub(/ /, "", v); print v; exit } }' "$WORK/out"
}

# Starts the reference capture on the receiving end (same ring size and filter as trafficgen).
start_capture() {
    ip netns exec "$NS" "$TOOL" capture "$RX" >"$WORK/capture" &
    CAPTURE_PID=$!
    BACKGROUND+=("$CAPTURE_PID")
    for _ in $(seq 100); do
        grep -q ready "$WORK/capture" 2>/dev/null && return
        sleep 0.05
    done
    echo "bench: the reference capture did not start" >&2
    exit 1
}
stop_capture() {
    kill -TERM "$CAPTURE_PID"
    wait "$CAPTURE_PID" || true
    log "capture: $(tail -n 1 "$WORK/capture")"
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Measuring (details in $LOG) ..." >&2

# ------------------------------------------------------------------ 1. send rate
# The speed of this (virtual) machine drifts by tens of percent over seconds, so every repeat
# runs trafficgen between two runs of the bare loop and compares it with their mean; the
# result is the median of the repeats' ratios.
in_ns "$TOOL" mkpcap "$WORK/frames.pcap" "$TX" "$RX" "$MAC" 1000
throughput_conf "$WORK/rate.conf" $((RATE_SECONDS * 1000000))
bare_rate() { # Bare loop while a capture like trafficgen's receives: trafficgen's ceiling.
    start_capture
    local a b out
    a=$(counter "$RX" rx_packets)
    out=$(in_ns "$TOOL" send "$TX" "$RX" "$MAC" "$RATE_SECONDS")
    b=$(counter "$RX" rx_packets)
    stop_capture
    log "bare, captured: $out; rx_packets +$((b - a))"
    calc "$((b - a)) / $(awk '{ print $6 }' <<<"$out")"
}
bare_rates=()
bare_free_rates=()
tg_rates=()
replay_rates=()
r_bare=()
r_replay=()
r_free=()
for ((i = 1; i <= RATE_REPEATS; i++)); do
    # Bare loop, nothing capturing: what the path takes without a receiver.
    a=$(counter "$RX" rx_packets)
    out=$(in_ns "$TOOL" send "$TX" "$RX" "$MAC" "$RATE_SECONDS")
    b=$(counter "$RX" rx_packets)
    log "bare, no capture: $out; rx_packets +$((b - a))"
    free=$(calc "$((b - a)) / $(awk '{ print $6 }' <<<"$out")")

    before=$(bare_rate)
    a=$(counter "$RX" rx_packets)
    run_tg "$BINARY" "$WORK/rate.conf"
    b=$(counter "$RX" rx_packets)
    log "trafficgen: rx_packets +$((b - a))"
    tg=$(calc "$((b - a)) / $RATE_SECONDS")
    after=$(bare_rate)

    start_capture
    a=$(counter "$RX" rx_packets)
    in_ns tcpreplay -i "$TX" --topspeed -K --loop=0 --duration="$RATE_SECONDS" -q "$WORK/frames.pcap" \
        >>"$LOG" 2>&1 || true
    b=$(counter "$RX" rx_packets)
    stop_capture
    log "tcpreplay: rx_packets +$((b - a))"
    replay=$(calc "$((b - a)) / $RATE_SECONDS")

    bare=$(calc "($before + $after) / 2")
    bare_free_rates+=("$free")
    bare_rates+=("$bare")
    tg_rates+=("$tg")
    replay_rates+=("$replay")
    r_bare+=("$(calc "100 * $tg / $bare")")
    r_replay+=("$(calc "100 * $tg / $replay")")
    r_free+=("$(calc "100 * $tg / $free")")
    log "repeat $i: trafficgen $tg, bare loop $before / $after, tcpreplay $replay, uncaptured $free fr/s"
done
R_BARE=$(median <<<"${r_bare[*]}")
R_REPLAY=$(median <<<"${r_replay[*]}")
R_FREE=$(median <<<"${r_free[*]}")
BARE_FREE=$(median <<<"${bare_free_rates[*]}")
BARE=$(median <<<"${bare_rates[*]}")
TG=$(median <<<"${tg_rates[*]}")
REPLAY=$(median <<<"${replay_rates[*]}")
log "trafficgen / bare loop per repeat (%): ${r_bare[*]}"

# ------------------------------------------------------------------ 2. self-loss
throughput_conf "$WORK/loss.conf" $((SECONDS_PER_RUN * 1000000))
LOSSY_RUNS=0
MAX_LOSS=0
TOTAL_SENT=0
TOTAL_LOST=0
WARNED_RUNS=0
RX_DROPPED=0
for ((i = 1; i <= RUNS; i++)); do
    d0=$(counter "$RX" rx_dropped)
    run_tg "$BINARY" "$WORK/loss.conf"
    d1=$(counter "$RX" rx_dropped)
    received=$(row_field 1 4)
    sent=$(row_field 1 5)
    loss=$(row_field 1 6)
    [[ $received =~ ^[0-9]+$ && $sent =~ ^[0-9]+$ ]] || { echo "bench: no result row, see $LOG" >&2; exit 1; }
    TOTAL_SENT=$((TOTAL_SENT + sent))
    TOTAL_LOST=$((TOTAL_LOST + sent - received))
    RX_DROPPED=$((RX_DROPPED + d1 - d0))
    ((received == sent)) || LOSSY_RUNS=$((LOSSY_RUNS + 1))
    [[ -s $WORK/err ]] && WARNED_RUNS=$((WARNED_RUNS + 1))
    MAX_LOSS=$(awk -v a="$MAX_LOSS" -v b="$loss" 'BEGIN { print (b + 0 > a + 0) ? b : a }')
    echo "  loss run $i/$RUNS: sent $sent, received $received, loss $loss %" >&2
done

# ------------------------------------------------------------------ 3. delay vs independent capture
paced_conf "$WORK/delay.conf" $((DELAY_SECONDS * 1000000)) 1
ip netns exec "$NS" tcpdump -i "$RX" -n -B 32768 --time-stamp-precision=micro -w "$WORK/delay.pcap" \
    --immediate-mode 'udp dst port 33333' 2>"$WORK/tcpdump.err" &
TCPDUMP_PID=$!
BACKGROUND+=("$TCPDUMP_PID")
for _ in $(seq 100); do
    grep -q listening "$WORK/tcpdump.err" 2>/dev/null && break
    sleep 0.05
done
run_tg "$BINARY" "$WORK/delay.conf"
sleep 0.3
kill -INT "$TCPDUMP_PID"
wait "$TCPDUMP_PID" || true
cat "$WORK/tcpdump.err" >>"$LOG"
TG_MIN=$(row_field 1 8)
TG_MEAN=$(row_field 1 10)
TG_RECEIVED=$(row_field 1 4)
read -r _ REF_FRAMES _ REF_MIN _ REF_MEAN _ _ <<<"$(in_ns "$TOOL" delays "$WORK/delay.pcap")"
log "independent capture: frames $REF_FRAMES min $REF_MIN mean $REF_MEAN"

# ------------------------------------------------------------------ 4. end of the cycle
# The cycle ends when the closing rule of the table appears on standard output (every line is
# flushed as it is printed); the last sender ends right after its last frame, whose send time
# the reference capture keeps. The difference overstates the wait by at most one frame gap
# (1 ms). Nothing traces or slows the program.
cycle_end() { # STREAMS; appends "end_ms run_time_minus_duration_ms" to END_$STREAMS
    paced_conf "$WORK/end.conf" 1000000 "$1"
    start_capture
    local t0 t1 status=0
    t0=$EPOCHREALTIME
    (cd "$WORK" && ip netns exec "$NS" "$BINARY" "$WORK/end.conf" 2>"$WORK/err") |
        while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$WORK/stamped" ||
        status=$?
    t1=$EPOCHREALTIME
    stop_capture
    log "--- end of cycle, $1 streams (status $status)"
    cat "$WORK/stamped" "$WORK/err" >>"$LOG"
    ((status == 0)) || { echo "bench: trafficgen failed, see $LOG" >&2; exit 1; }
    local closed last_send
    closed=$(awk '$2 ~ /^-+$/ { t = $1 } END { print t }' "$WORK/stamped")
    last_send=$(awk '{ print $6 }' <<<"$(tail -n 1 "$WORK/capture")")
    local -n results="END_$1"
    results+=("$(calc "sprintf(\"%.1f %.1f\", ($closed - $last_send) * 1000, ($t1 - $t0 - 1) * 1000)")")
}
END_1=()
END_10=()
for _ in 1 2 3; do
    cycle_end 1
    cycle_end 10
done
worst() { printf '%s\n' "$@" | awk '{ if (NR == 1 || $1 > a) a = $1; if (NR == 1 || $2 > b) b = $2 } END { print a, b }'; }
read -r END1_MS END1_WALL <<<"$(worst "${END_1[@]}")"
read -r END10_MS END10_WALL <<<"$(worst "${END_10[@]}")"

# ------------------------------------------------------------------ 5. memory
peak_rss() { # SECONDS -> KiB
    throughput_conf "$WORK/mem.conf" $(($1 * 1000000))
    run_tg /usr/bin/time -v -o "$WORK/time" "$BINARY" "$WORK/mem.conf"
    cat "$WORK/time" >>"$LOG"
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }' "$WORK/time"
}
RSS_SHORT=$(peak_rss 1)
RSS_LONG=$(peak_rss "$MEMORY_SECONDS")

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ------------------------------------------------------------------ the table
gbit() { calc "$1 * 1500 * 8 / 1e9"; }
verdict() { # CONDITION LABEL
    if awk "function abs(x) { return x < 0 ? -x : x } BEGIN { exit !($1) }"; then
        echo "$2: met"
    else
        echo "$2: MISSED"
    fi
}
MIN_DIFF=$(calc "$TG_MIN - $REF_MIN")
MEAN_DIFF=$(calc "$TG_MEAN - $REF_MEAN")
RSS_DIFF=$(calc "($RSS_LONG - $RSS_SHORT) / 1024")

row() { printf '| %-46s | %-32s | %-36s | %-12s | %-18s |\n' "$@"; }
dashes() { printf -- '-%.0s' $(seq "$1"); }
rule() { printf '|%s|%s|%s|%s|%s|\n' "$(dashes 48)" "$(dashes 34)" "$(dashes 38)" "$(dashes 14)" "$(dashes 20)"; }
print_table() {
    echo
    echo "trafficgen benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
    echo "$(nproc) cores, kernel $(uname -r), veth pair in a private namespace; load $LOAD_BEFORE before, $LOAD_AFTER after"
    echo "Frame rates from the receiving veth's rx_packets, medians over the repeats; a ratio is the median of"
    echo "the repeats' ratios (trafficgen against the mean of the bare runs just before and after it)."
    echo "Gbit/s counts the 1500-byte frames without FCS."
    echo
    row "Measurement" "trafficgen" "Reference" "Result" "Target"
    rule
    row "Send rate, throughput test, $RATE_REPEATS x ${RATE_SECONDS} s" \
        "$(printf '%.0f fr/s, %.2f Gbit/s' "$TG" "$(gbit "$TG")")" \
        "$(printf 'bare loop %.0f fr/s, %.2f Gb/s' "$BARE" "$(gbit "$BARE")")" \
        "$(printf '%.1f %%' "$R_BARE")" "$(verdict "$R_BARE >= 95" ">= 95 %")"
    row "  same, vs tcpreplay --topspeed" "" \
        "$(printf 'tcpreplay %.0f fr/s, %.2f Gb/s' "$REPLAY" "$(gbit "$REPLAY")")" \
        "$(printf '%.1f %%' "$R_REPLAY")" "info"
    row "  bare loop with nothing capturing" "" \
        "$(printf '%.0f fr/s, %.2f Gbit/s' "$BARE_FREE" "$(gbit "$BARE_FREE")")" \
        "$(printf '%.1f %%' "$R_FREE")" "info"
    row "Self-loss, full speed, $RUNS x ${SECONDS_PER_RUN} s" \
        "$LOSSY_RUNS of $RUNS runs lost frames" \
        "$TOTAL_LOST of $TOTAL_SENT frames lost" "max $MAX_LOSS %" "$(verdict "$LOSSY_RUNS == 0" "no loss")"
    row "  warnings on stderr / veth rx_dropped" "$WARNED_RUNS runs warned" "rx_dropped +$RX_DROPPED" "" "info"
    row "Min delay, 1 fr/ms, ${DELAY_SECONDS} s, 1000-byte frames" "$TG_MIN us ($TG_RECEIVED frames)" \
        "tcpdump $REF_MIN us ($REF_FRAMES frames)" "$(printf '%+.0f us' "$MIN_DIFF")" \
        "$(verdict "abs($MIN_DIFF) <= 2" "within 2 us")"
    row "Mean delay, same run" "$TG_MEAN us" "$(printf 'tcpdump %.3f us' "$REF_MEAN")" \
        "$(printf '%+.3f us' "$MEAN_DIFF")" "info"
    row "Cycle end after last sender, 1 stream" "$END1_MS ms (worst of 3)" "run time - duration $END1_WALL ms" "" \
        "$(verdict "$END1_MS <= 100" "<= 100 ms")"
    row "Cycle end after last sender, 10 streams" "$END10_MS ms (worst of 3)" "run time - duration $END10_WALL ms" "" \
        "$(verdict "$END10_MS <= 100" "<= 100 ms")"
    row "Peak RSS, full speed 1 s vs ${MEMORY_SECONDS} s" \
        "$(printf '%.1f MiB / %.1f MiB' "$(calc "$RSS_SHORT / 1024")" "$(calc "$RSS_LONG / 1024")")" "" \
        "$(printf '%+.1f MiB' "$RSS_DIFF")" "$(verdict "$RSS_DIFF <= 4" "<= +4 MiB")"
    echo
}
print_table | tee "$ROOT/build/bench/last-table.txt"
