#!/bin/bash
# Measurement fidelity and speed of trafficgen, on a private veth pair, in one table.
#
#   bash bench/run.sh [--runs N] [--seconds S] [--rate-seconds S] [--rate-repeats N]
#                     [--delay-seconds S] [--memory-seconds S] [--pacing-seconds S]
#                     [--pacing-only] [--batched-only] [--paths-only] [--stamps-only]
#                     [--binary PATH]
#
# Run as root from a clone of the repository. Installs what it needs (tcpreplay, tcpdump,
# GNU time), builds build/trafficgen and build/bench/benchtool, creates its own network
# namespace with one veth pair (removed again on any exit) and measures:
#   - send rate of the throughput test vs a bare pcap_sendpacket loop and tcpreplay --topspeed,
#   - self-loss of full-speed throughput runs (--runs x --seconds; the release check is 20 x 10),
#   - reported minimum and mean delay at 1 frame/ms vs an independent tcpdump capture,
#   - time from the last sender's end to the end of the cycle (1 and 10 streams),
#   - peak resident memory of a 1 s and a --memory-seconds full-speed run,
#   - the gaps between departures with relative and absolute pacing, from an independent
#     capture, the CPU the senders cost, and whether a seed repeats the frame sizes
#     (measured first; --pacing-only stops after this table),
#   - the batched send path (--send-path batched) against a bare sendmmsg loop of the same batch
#     and against the libpcap path, for 1500- and 60-byte frames, its self-loss over that series,
#     its stamp error against tcpdump on the sending veth, and its absolute pacing
#     (measured last; --batched-only measures only this),
#   - every send path side by side (libpcap, batched, AF_XDP) with the bare loops of each kind
#     (pcap_sendpacket, sendmmsg of 64, AF_XDP of 256 per kick), 60- and 1500-byte frames, the
#     bare loops with and without a capture on the receiving end; AF_XDP's self-loss, its
#     absolute pacing of 10 streams at 100 us (--paths-only measures only this),
#   - the kernel's send stamps on every send path, at 1000 frames/s and back to back: the
#     reported delay and the sender's lag behind the kernel's stamp (p50, p99) against tcpdump's
#     nanosecond stamps of the same frames on both veths, and the send rate with the kernel's
#     stamps against the sender's own (--stamps-only measures only this),
#   - the receiver's accounting per frame with and without sequence numbers, and the delay
#     histogram's share of it (build/bench/accounting_cost, Google Benchmark, no network).
# Details of every run land in build/bench/last-run.log.
set -euo pipefail

RUNS=3
SECONDS_PER_RUN=5
RATE_SECONDS=2
RATE_REPEATS=9
DELAY_SECONDS=5
MEMORY_SECONDS=60
PACING_SECONDS=1
PACING_ONLY=0
BATCHED_ONLY=0
PATHS_ONLY=0
STAMPS_ONLY=0
BINARY=""

usage() {
    sed -n '4,7p' "$0" | sed 's/^# \{0,1\}//' >&2
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
    --pacing-seconds) PACING_SECONDS=$2 ;;
    --pacing-only)
        PACING_ONLY=1
        shift
        continue
        ;;
    --batched-only)
        BATCHED_ONLY=1
        shift
        continue
        ;;
    --paths-only)
        PATHS_ONLY=1
        shift
        continue
        ;;
    --stamps-only)
        STAMPS_ONLY=1
        shift
        continue
        ;;
    --binary) BINARY=$2 ;;
    *) usage ;;
    esac
    shift 2 || usage
done
for n in "$RUNS" "$SECONDS_PER_RUN" "$RATE_SECONDS" "$RATE_REPEATS" "$DELAY_SECONDS" "$MEMORY_SECONDS" \
    "$PACING_SECONDS"; do
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
    cmake --build build -j"$(nproc)" --target accounting_cost
    BINARY=$ROOT/build/trafficgen
fi
BINARY=$(cd "$(dirname "$BINARY")" && pwd)/$(basename "$BINARY")
[[ -x $BINARY ]] || { echo "bench: $BINARY is not an executable" >&2; exit 1; }
mkdir -p build/bench
cc -O2 -Wall -Wextra -Werror -o build/bench/benchtool bench/benchtool.c bench/benchxdp.c -lpcap $(pkg-config --libs libxdp libbpf)
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
dashes() { printf -- '-%.0s' $(seq "$1"); }
row() { printf '| %-46s | %-32s | %-36s | %-12s | %-18s |\n' "$@"; }
rule() { printf '|%s|%s|%s|%s|%s|\n' "$(dashes 48)" "$(dashes 34)" "$(dashes 38)" "$(dashes 14)" "$(dashes 20)"; }
verdict() { # CONDITION LABEL
    if awk "function abs(x) { return x < 0 ? -x : x } BEGIN { exit !($1) }"; then
        echo "$2: met"
    else
        echo "$2: MISSED"
    fi
}

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
# The keys of one distribution: distribution_keys size|time "constant V"|"uniform MEAN"|"exponential MEAN".
distribution_keys() {
    local name=${2% *} value=${2#* }
    case $name in
    constant) printf '%s distribution = 0\n%s constant value = %s\n' "$1" "$1" "$value" ;;
    uniform) printf '%s distribution = 1\n%s uniform mean = %s\n' "$1" "$1" "$value" ;;
    exponential) printf '%s distribution = 3\n%s exponential mean = %s\n' "$1" "$1" "$value" ;;
    *) echo "bench: no distribution $2" >&2; exit 1 ;;
    esac
}
# FILE DURATION_US STREAMS [SIZES [GAPS]]: every stream draws its sizes and gaps alike, by default
# constant 1000-byte frames, one every 1000 us.
paced_conf() {
    {
        printf 'sending interface = %s\nreceiving interface = %s\noperation = 2\n' "$TX" "$RX"
        printf 'destination MAC = %s\nduration = %s\ncycles = 1\nstream count = %s\n' "$MAC" "$2" "$3"
        local s
        for ((s = 1; s <= $3; s++)); do
            printf '[STREAM %d]\nTOS = 0\n' "$s"
            distribution_keys size "${4:-constant 1000}"
            distribution_keys time "${5:-constant 1000}"
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

# Waits up to 5 s until FILE holds WORD (a background program's sign that it is ready); ends the
# bench with "bench: WHAT did not start" otherwise.
await_start() { # FILE WORD WHAT
    for _ in $(seq 100); do
        grep -q "$2" "$1" 2>/dev/null && return
        sleep 0.05
    done
    echo "bench: $3 did not start" >&2
    exit 1
}
# Starts the reference capture on the receiving end (same ring size and filter as trafficgen).
start_capture() {
    ip netns exec "$NS" "$TOOL" capture "$RX" >"$WORK/capture" &
    CAPTURE_PID=$!
    BACKGROUND+=("$CAPTURE_PID")
    await_start "$WORK/capture" ready "the reference capture"
}
stop_capture() {
    kill -TERM "$CAPTURE_PID"
    wait "$CAPTURE_PID" || true
    log "capture: $(tail -n 1 "$WORK/capture")"
}
# The independent capture of the test frames: tcpdump writing FILE with time stamps of PRECISION
# (micro or nano), on the receiving veth or, with "out", on the sending veth as the frames leave.
# There tcpdump keeps only the first 96 bytes (the send time is within them) and reads its ring
# in blocks rather than being woken for every frame: woken per frame, or copying and writing
# whole frames, it takes the core from the sender in the middle of a batch and lengthens the very
# time it measures.
start_tcpdump() { # FILE PRECISION [out]
    rm -f "$WORK/tcpdump.err" # the last run's "listening" must not be taken for this one's
    local where=(-i "$RX" --immediate-mode)
    [[ ${3:-} == out ]] && where=(-i "$TX" -Q out -s 96)
    ip netns exec "$NS" tcpdump "${where[@]}" -n -B 32768 --time-stamp-precision="$2" -w "$1" \
        'udp dst port 33333' 2>"$WORK/tcpdump.err" &
    TCPDUMP_PID=$!
    BACKGROUND+=("$TCPDUMP_PID")
    await_start "$WORK/tcpdump.err" listening tcpdump
}
stop_tcpdump() {
    sleep 0.3
    kill -INT "$TCPDUMP_PID"
    wait "$TCPDUMP_PID" || true
    cat "$WORK/tcpdump.err" >>"$LOG"
}

# ------------------------------------------------------------------ 6. batched send path
# Alternating within each repeat, a capture receiving all the while: the bare sendmmsg loop (same
# batch as the program's), the throughput flood on the batched path, the same on the libpcap
# path, the bare loop again. The 60-byte flood is a loss-and-delay test of one stream with
# constant 60-byte frames and a constant gap of 0 (no wait between frames, as in the throughput
# test). Every batched run's own table gives the self-loss.
# The stamp error the batched path is held to (99th percentile, as tcpdump sees it).
STAMP_BOUND_US=50
BATCH=$(sed -n 's/.*BATCH_FRAMES = \([0-9]*\);.*/\1/p' "$ROOT/src/batchsender.h")
bare_mmsg_rate() { # LENGTH [BYPASS]
    start_capture
    local a b out
    a=$(counter "$RX" rx_packets)
    out=$(in_ns "$TOOL" mmsg "$TX" "$RX" "$MAC" "$RATE_SECONDS" "$1" "$BATCH" "${2:-0}")
    b=$(counter "$RX" rx_packets)
    stop_capture
    log "bare sendmmsg, $1 B, qdisc bypass ${2:-0}, captured: $out; rx_packets +$((b - a))"
    calc "$((b - a)) / $(awk '{ print $6 }' <<<"$out")"
}
B_RUNS=0 B_LOSSY=0 B_SENT=0 B_LOST=0 B_WARNED=0
# Sets RATE (frames/s on the receiving veth) for a run of CONF with OPTIONS; a batched run's
# figures go into the self-loss tally.
tg_rate() { # CONF [OPTIONS...]
    local a b received sent
    a=$(counter "$RX" rx_packets)
    run_tg "$BINARY" "${@:2}" "$1"
    b=$(counter "$RX" rx_packets)
    RATE=$(calc "$((b - a)) / $RATE_SECONDS")
    log "trafficgen ${*:2}: rx_packets +$((b - a))"
    [[ " $* " == *" batched "* ]] || return 0
    received=$(row_field 1 4)
    sent=$(row_field 1 5)
    [[ $received =~ ^[0-9]+$ && $sent =~ ^[0-9]+$ ]] || { echo "bench: no result row, see $LOG" >&2; exit 1; }
    B_RUNS=$((B_RUNS + 1))
    B_SENT=$((B_SENT + sent))
    B_LOST=$((B_LOST + sent - received))
    ((received == sent)) || B_LOSSY=$((B_LOSSY + 1))
    [[ -s $WORK/err ]] && B_WARNED=$((B_WARNED + 1))
    return 0
}
# Stamp error: tcpdump on the sending veth stamps each frame as the interface takes it; that
# stamp minus the send time in the frame is the time between the program's stamp and the
# departure. Leaves "median p99 max frames" in $WORK/TAG.stamp.
stamp_error() { # TAG CONF [OPTIONS...]
    start_tcpdump "$WORK/$1.pcap" micro out
    run_tg "$BINARY" "${@:3}" "$2"
    stop_tcpdump
    local line
    line=$(in_ns "$TOOL" delays "$WORK/$1.pcap")
    log "stamp error $1: $line"
    awk '{ print $14, $16, $8, $2 }' <<<"$line" >"$WORK/$1.stamp"
}
batched_section() {
    throughput_conf "$WORK/rate.conf" $((RATE_SECONDS * 1000000))
    paced_conf "$WORK/small.conf" $((RATE_SECONDS * 1000000)) 1 "constant 60" "constant 0"
    local i len conf before after bare
    for len in 1500 60; do
        eval "BR_$len=() BB_$len=() BP_$len=() RB_$len=() RP_$len=()"
    done
    R_BYPASS=()
    for ((i = 1; i <= RATE_REPEATS; i++)); do
        for len in 1500 60; do
            conf=$WORK/rate.conf
            ((len == 1500)) || conf=$WORK/small.conf
            before=$(bare_mmsg_rate "$len")
            tg_rate "$conf" --send-path batched
            local batched=$RATE
            tg_rate "$conf"
            local pcap=$RATE
            after=$(bare_mmsg_rate "$len")
            bare=$(calc "($before + $after) / 2")
            if ((len == 1500)); then
                # The same loop past the queueing discipline, for the choice of the path.
                R_BYPASS+=("$(calc "100 * $(bare_mmsg_rate 1500 1) / $after")")
            fi
            eval "BR_$len+=($bare) BB_$len+=($batched) BP_$len+=($pcap)"
            eval "RB_$len+=($(calc "100 * $batched / $bare")) RP_$len+=($(calc "100 * $pcap / $bare"))"
            log "batched repeat $i, $len B: batched $batched, libpcap $pcap, bare sendmmsg $before / $after fr/s"
        done
    done
    stamp_error stamp1500b "$WORK/rate.conf" --send-path batched
    stamp_error stamp1500p "$WORK/rate.conf"
    stamp_error stamp60b "$WORK/small.conf" --send-path batched
    stamp_error stamp60p "$WORK/small.conf"
    paced_conf "$WORK/bpace.conf" "$PACING_US" 1 "constant 100" "constant 10"
    pacing_run batchedpace "$WORK/bpace.conf" --pacing absolute --send-path batched
    pacing_run pcappace "$WORK/bpace.conf" --pacing absolute
    paced_conf "$WORK/bpace10.conf" "$PACING_US" 10 "constant 100" "constant 100"
    pacing_run batched10 "$WORK/bpace10.conf" --pacing absolute --send-path batched
    pacing_run pcap10 "$WORK/bpace10.conf" --pacing absolute
}

print_batched_table() {
    local len m
    echo
    echo "Batched send path (--send-path batched, $BATCH frames a batch), $RATE_REPEATS x ${RATE_SECONDS} s per"
    echo "measurement, alternating; rates from the receiving veth's rx_packets, medians; a ratio is the median"
    echo "of the repeats' ratios against the mean of the bare sendmmsg runs just before and after."
    echo
    row "Measurement" "trafficgen" "Reference" "Result" "Target"
    rule
    for len in 1500 60; do
        local -n bb="BB_$len" bp="BP_$len" br="BR_$len" rb="RB_$len" rp="RP_$len"
        m=$(median <<<"${rb[*]}")
        row "Send rate, batched, $len-byte frames" "$(printf '%.0f fr/s' "$(median <<<"${bb[*]}")")" \
            "$(printf 'bare sendmmsg %.0f fr/s' "$(median <<<"${br[*]}")")" "$(printf '%.1f %%' "$m")" \
            "$(verdict "$m >= 90" ">= 90 %")"
        row "  same, libpcap path" "$(printf '%.0f fr/s' "$(median <<<"${bp[*]}")")" "" \
            "$(printf '%.1f %%' "$(median <<<"${rp[*]}")")" "info"
    done
    row "  bare sendmmsg with PACKET_QDISC_BYPASS, 1500 B" "" "against the loop without, just before" \
        "$(printf '%.1f %%' "$(median <<<"${R_BYPASS[*]}")")" "info"
    row "Self-loss, batched runs above" "$B_LOSSY of $B_RUNS runs lost frames" "$B_LOST of $B_SENT frames lost" \
        "$B_WARNED warned" "$(verdict "$B_LOSSY == 0" "no loss")"
    local med p99 max frames pmed pp99 pmax pframes
    for len in 1500 60; do
        read -r med p99 max frames <"$WORK/stamp${len}b.stamp"
        read -r pmed pp99 pmax pframes <"$WORK/stamp${len}p.stamp"
        row "Stamp error, $len B, median / p99 / max" "$med / $p99 / $max us ($frames fr)" \
            "libpcap $pmed / $pp99 / $pmax us ($pframes fr)" "" "$(verdict "$p99 <= $STAMP_BOUND_US" "p99 <= $STAMP_BOUND_US us")"
    done
    local drawn mean dev worst pworst
    drawn=$(offered_field batchedpace 1 drawn_mean_gap_us)
    mean=$(gap_field batchedpace 1 mean)
    dev=$(calc "100 * ($mean / $drawn - 1)")
    row "Absolute pacing 10 us, batched, 1 s" "$(printf 'mean %.2f us, %d restarts' "$mean" "$(restarts_of batchedpace)")" \
        "$(printf 'libpcap %.2f us, %d restarts' "$(gap_field pcappace 1 mean)" "$(restarts_of pcappace)")" \
        "$(printf '%+.2f %%' "$dev")" "$(verdict "abs($dev) <= 1" "mean 1 %")"
    read -r _ worst _ <<<"$(worst_stream batched10 100)"
    read -r _ pworst _ <<<"$(worst_stream pcap10 100)"
    dev=$(calc "100 * ($worst / 100 - 1)")
    row "10 x absolute 100 us, batched, 1 s" "$(printf 'worst %.2f us, %d restarts' "$worst" "$(restarts_of batched10)")" \
        "$(printf 'libpcap worst %.2f us, %d restarts' "$pworst" "$(restarts_of pcap10)")" \
        "$(printf '%+.2f %%' "$dev")" "$(verdict "abs($dev) <= 1" "every stream 1 %")"
    echo
}

# ------------------------------------------------------------------ 7. the send paths side by side
# Per repeat, alternating: for 1500- and 60-byte frames, the bare loops without and with a
# capture on the receiving end (benchtool's, with the fast paths' 128-byte snapshot and 128 MiB
# ring), then trafficgen's throughput flood on each path (its own capture running). Rates from
# the receiving veth's rx_packets. AF_XDP's own runs give its self-loss.
bare_rate() { # KIND LENGTH CAPTURE(0|1)
    local a b out
    if (($3)); then
        ip netns exec "$NS" "$TOOL" capture "$RX" 128 128 >"$WORK/capture" &
        CAPTURE_PID=$!
        BACKGROUND+=("$CAPTURE_PID")
        await_start "$WORK/capture" ready "the reference capture"
    fi
    a=$(counter "$RX" rx_packets)
    case $1 in
    pcap) out=$(in_ns "$TOOL" send "$TX" "$RX" "$MAC" "$RATE_SECONDS" "$2") ;;
    mmsg) out=$(in_ns "$TOOL" mmsg "$TX" "$RX" "$MAC" "$RATE_SECONDS" "$2" 64 0) ;;
    xdp) out=$(in_ns "$TOOL" xdp "$TX" "$RX" "$MAC" "$RATE_SECONDS" "$2" 256) ;;
    esac
    b=$(counter "$RX" rx_packets)
    (($3)) && stop_capture
    log "bare $1, $2 B, capture $3: $out; rx_packets +$((b - a))"
    calc "$((b - a)) / $(awk '{ print $6 }' <<<"$out")"
}
X_RUNS=0 X_LOSSY=0 X_SENT=0 X_LOST=0
paths_section() {
    throughput_conf "$WORK/rate.conf" $((RATE_SECONDS * 1000000))
    paced_conf "$WORK/small.conf" $((RATE_SECONDS * 1000000)) 1 "constant 60" "constant 0"
    local i len conf kind capture path received sent
    for ((i = 1; i <= RATE_REPEATS; i++)); do
        for len in 1500 60; do
            conf=$WORK/rate.conf
            ((len == 1500)) || conf=$WORK/small.conf
            for capture in 0 1; do
                for kind in pcap mmsg xdp; do
                    eval "P_${kind}_${len}_${capture}+=($(bare_rate "$kind" "$len" "$capture"))"
                done
            done
            for path in pcap batched xdp; do
                tg_rate "$conf" --send-path "$path"
                eval "P_tg${path}_${len}+=($RATE)"
                [[ $path == xdp ]] || continue
                received=$(row_field 1 4)
                sent=$(row_field 1 5)
                X_RUNS=$((X_RUNS + 1))
                X_SENT=$((X_SENT + sent))
                X_LOST=$((X_LOST + sent - received))
                ((received == sent)) || X_LOSSY=$((X_LOSSY + 1))
            done
            local -n bare_xdp="P_xdp_${len}_1" bare_mmsg="P_mmsg_${len}_1"
            eval "P_ratio_xdp_${len}+=($(calc "100 * $RATE / ${bare_xdp[-1]}"))"
            eval "P_ratio_mmsg_${len}+=($(calc "100 * $RATE / ${bare_mmsg[-1]}"))"
            unset -n bare_xdp bare_mmsg
            log "paths repeat $i, $len B done"
        done
    done
    paced_conf "$WORK/xpace10.conf" "$PACING_US" 10 "constant 100" "constant 100"
    pacing_run xdp10 "$WORK/xpace10.conf" --pacing absolute --send-path xdp
}

print_paths_table() {
    local len kind
    echo
    echo "Send paths side by side, $RATE_REPEATS x ${RATE_SECONDS} s per measurement, alternating; median"
    echo "frames/s on the receiving veth (k = 1000). Bare loops: pcap_sendpacket, sendmmsg of 64 frames,"
    echo "AF_XDP (copy mode on veth) of 256 frames per kick; trafficgen: the throughput flood on each path,"
    echo "its own capture running. Ratios: medians of the repeats' ratios within one repeat."
    echo
    printf '| %-34s | %-22s | %-22s |\n' "Path" "60 B, capture off / on" "1500 B, capture off / on"
    printf '|%s|%s|%s|\n' "$(dashes 36)" "$(dashes 24)" "$(dashes 24)"
    for kind in pcap mmsg xdp; do
        local label
        case $kind in
        pcap) label="bare pcap_sendpacket" ;;
        mmsg) label="bare sendmmsg, 64 a call" ;;
        xdp) label="bare AF_XDP, 256 a kick" ;;
        esac
        local cells=()
        for len in 60 1500; do
            local -n off="P_${kind}_${len}_0" on="P_${kind}_${len}_1"
            cells+=("$(printf '%.0f k / %.0f k' "$(calc "$(median <<<"${off[*]}") / 1000")" \
                "$(calc "$(median <<<"${on[*]}") / 1000")")")
        done
        printf '| %-34s | %-22s | %-22s |\n' "$label" "${cells[@]}"
    done
    for kind in pcap batched xdp; do
        local -n r60="P_tg${kind}_60" r1500="P_tg${kind}_1500"
        printf '| %-34s | %-22s | %-22s |\n' "trafficgen --send-path $kind" \
            "$(printf -- '- / %.0f k' "$(calc "$(median <<<"${r60[*]}") / 1000")")" \
            "$(printf -- '- / %.0f k' "$(calc "$(median <<<"${r1500[*]}") / 1000")")"
    done
    echo
    row "Measurement" "trafficgen" "Reference" "Result" "Target"
    rule
    local m
    for len in 60 1500; do
        local -n rx="P_ratio_xdp_${len}" rm="P_ratio_mmsg_${len}"
        m=$(median <<<"${rx[*]}")
        row "AF_XDP path, $len B, capture on" "throughput flood" "bare AF_XDP loop, same repeat" \
            "$(printf '%.1f %%' "$m")" "$(verdict "$m >= 90" ">= 90 %")"
        m=$(median <<<"${rm[*]}")
        row "  same" "throughput flood" "bare sendmmsg of 64, same repeat" \
            "$(printf '%.1f %%' "$m")" "$(verdict "$m > 100" "> 100 %")"
    done
    row "Self-loss, AF_XDP runs above" "$X_LOSSY of $X_RUNS runs lost frames" "$X_LOST of $X_SENT frames lost" \
        "" "$(verdict "$X_LOSSY == 0" "no loss")"
    local worst dev
    read -r _ worst _ <<<"$(worst_stream xdp10 100)"
    dev=$(calc "100 * ($worst / 100 - 1)")
    row "10 x absolute 100 us, AF_XDP, ${PACING_SECONDS} s" \
        "$(printf 'worst %.2f us, %d restarts' "$worst" "$(restarts_of xdp10)")" "tcpdump on the receiving veth" \
        "$(printf '%+.2f %%' "$dev")" "$(verdict "abs($dev) <= 1" "every stream 1 %")"
    echo
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "Measuring (details in $LOG) ..." >&2

# ------------------------------------------------------------------ 0. pacing
# The gaps between a stream's departures as the receiving end's tcpdump saw them (mean and median
# per stream, from the capture's time stamps), with the default relative waits and with
# --pacing absolute, 100-byte frames. The CPU figure is the user + system time of the whole run
# (the senders included) per second of sending, in % of one core.
PACING_US=$((PACING_SECONDS * 1000000))
pacing_run() { # TAG CONFIG [OPTIONS...]: leaves $WORK/TAG.gaps, .cpu, .pcap and .json
    local tag=$1 conf=$2
    shift 2
    start_tcpdump "$WORK/$tag.pcap" nano
    run_tg /usr/bin/time -f '%U %S' -o "$WORK/$tag.time" "$BINARY" --json "$WORK/$tag.json" "$@" "$conf"
    stop_tcpdump
    in_ns "$TOOL" gaps "$WORK/$tag.pcap" >"$WORK/$tag.gaps"
    log "gaps $tag: $(tr '\n' ';' <"$WORK/$tag.gaps")"
    calc "100 * ($(awk '{ print $1 " + " $2 }' "$WORK/$tag.time")) / $PACING_SECONDS" >"$WORK/$tag.cpu"
}
# What the run TAG's results file says STREAM offered: drawn_mean_gap_us, mean_gap_us or restarts.
offered_field() { # TAG STREAM KEY
    python3 -c 'import json, sys
print(json.load(open(sys.argv[1]))["cycles"][0]["streams"][int(sys.argv[2]) - 1]["offered"][sys.argv[3]])' \
        "$WORK/$1.json" "$2" "$3"
}
gap_field() { # TAG STREAM mean|median|frames
    awk -v s="$2" -v f="$3" '$2 == s { for (i = 3; i < NF; i += 2) if ($i == f) print $(i + 1) }' "$WORK/$1.gaps"
}
# The restarts of all streams of the run TAG.
restarts_of() { # TAG
    python3 -c 'import json, sys
print(sum(s["offered"]["restarts"] for s in json.load(open(sys.argv[1]))["cycles"][0]["streams"]))' "$WORK/$1.json"
}
# The stream of TAG whose mean gap is furthest from DRAWN: "stream mean median".
worst_stream() { # TAG DRAWN
    awk -v d="$2" '{ dev = $6 / d - 1; if (dev < 0) dev = -dev
        if (NR == 1 || dev > worst) { worst = dev; line = $2 " " $6 " " $8 } } END { print line }' "$WORK/$1.gaps"
}
# Whether two captures carry the same frame sizes per stream, compared over the frames both have.
same_sizes() { # TAG_A TAG_B -> "identical, N frames" or "differ"
    in_ns "$TOOL" sizes "$WORK/$1.pcap" >"$WORK/$1.sizes"
    in_ns "$TOOL" sizes "$WORK/$2.pcap" >"$WORK/$2.sizes"
    local s compared=0 n a b
    for s in $(cut -d' ' -f1 "$WORK/$1.sizes" | sort -un); do
        a=$(awk -v s="$s" '$1 == s { print $2 }' "$WORK/$1.sizes")
        b=$(awk -v s="$s" '$1 == s { print $2 }' "$WORK/$2.sizes")
        n=$(($(wc -l <<<"$a") < $(wc -l <<<"$b") ? $(wc -l <<<"$a") : $(wc -l <<<"$b")))
        if [[ $(head -n "$n" <<<"$a") != "$(head -n "$n" <<<"$b")" ]]; then
            echo "differ"
            return
        fi
        compared=$((compared + n))
    done
    echo "identical, $compared frames"
}

# ------------------------------------------------------------------ kernel send stamps
# One run per send path and load with tcpdump's nanosecond stamps on both veths; stampjoin.py
# joins the stamped frames of the two captures and sets them beside the run's figures.
stamps_run() { # TAG CONF [OPTIONS...]: leaves a line of figures in $WORK/TAG.stamps
    start_tcpdump "$WORK/$1.rx.pcap" nano
    local receiving=$TCPDUMP_PID
    start_tcpdump "$WORK/$1.tx.pcap" nano out
    run_tg "$BINARY" --stamp-source kernel --sequence-numbers --json "$WORK/$1.json" "${@:3}" "$2"
    # tcpdump reads its ring in blocks; the last is handed over within two read time-outs (1 s).
    sleep 2.5
    stop_tcpdump
    kill -INT "$receiving"
    wait "$receiving" || true
    python3 "$ROOT/bench/stampjoin.py" "$WORK/$1.json" "$WORK/$1.rx.pcap" "$WORK/$1.tx.pcap" \
        >"$WORK/$1.stamps"
    log "stamps $1: $(cat "$WORK/$1.stamps")"
}
stamps_section() {
    paced_conf "$WORK/light.conf" 3000000 1 "constant 1000" "constant 1000"
    throughput_conf "$WORK/rate.conf" $((RATE_SECONDS * 1000000))
    local path i source
    for path in pcap batched xdp; do
        stamps_run "light-$path" "$WORK/light.conf" --send-path "$path"
        stamps_run "flood-$path" "$WORK/rate.conf" --send-path "$path"
        for ((i = 1; i <= RATE_REPEATS; i++)); do
            for source in user kernel; do
                tg_rate "$WORK/rate.conf" --send-path "$path" --sequence-numbers --stamp-source "$source"
                eval "S_${path}_${source}+=($RATE)"
            done
            local -n own="S_${path}_user" kernel="S_${path}_kernel"
            eval "S_ratio_${path}+=($(calc "100 * ${kernel[-1]} / ${own[-1]}"))"
            unset -n own kernel
        done
    done
}
stamps_row() { printf '| %-8s | %-12s | %-23s | %-23s | %-23s | %-23s |\n' "$@"; }
print_stamps_table() {
    printf 'Kernel send stamps: reported vs tcpdump (ns, p50 / p99), %s\n\n' "$(uname -r), $(nproc) cores"
    stamps_row "path" "load" "delay reported" "delay tcpdump" "lag reported" "lag tcpdump"
    stamps_row "---" "---" "---" "---" "---" "---"
    local path load
    for path in pcap batched xdp; do
        for load in light flood; do
            # shellcheck disable=SC2046 # six figures, one word each
            stamps_row "$path" "$([[ $load == light ]] && echo "1000/s 1000 B" || echo "flood 1500 B")" \
                $(awk '{ printf "%s/%s %s/%s %s/%s %s/%s", $1, $2, $3, $4, $5, $6, $7, $8 }' "$WORK/$load-$path.stamps")
        done
    done
    echo
    echo "Send rate with the kernel's stamps / with the sender's own, flood 1500 B, median of $RATE_REPEATS (%):"
    for path in pcap batched xdp; do
        local -n ratios="S_ratio_${path}"
        echo "  $path: $(printf '%s\n' "${ratios[@]}" | median) (runs: ${ratios[*]})"
        unset -n ratios
    done
}

if ((STAMPS_ONLY)); then
    stamps_section
    print_stamps_table | tee "$ROOT/build/bench/last-stamps.txt"
    exit 0
fi
if ((PATHS_ONLY)); then
    paths_section
    print_paths_table | tee "$ROOT/build/bench/last-paths.txt"
    exit 0
fi
if ((BATCHED_ONLY)); then
    batched_section
    print_batched_table | tee "$ROOT/build/bench/last-batched.txt"
    exit 0
fi

PACING_CASES=("constant 1000" "constant 100" "constant 50" "constant 10" "exponential 100")
for ((i = 0; i < ${#PACING_CASES[@]}; i++)); do
    paced_conf "$WORK/pace.conf" "$PACING_US" 1 "constant 100" "${PACING_CASES[i]}"
    pacing_run "relative$i" "$WORK/pace.conf"
    pacing_run "absolute$i" "$WORK/pace.conf" --pacing absolute
done
paced_conf "$WORK/pace10.conf" "$PACING_US" 10 "constant 100" "constant 100"
pacing_run relative10 "$WORK/pace10.conf"
pacing_run absolute10 "$WORK/pace10.conf" --pacing absolute
paced_conf "$WORK/seed.conf" "$PACING_US" 3 "uniform 700" "exponential 100"
pacing_run seed7a "$WORK/seed.conf" --seed 7
pacing_run seed7b "$WORK/seed.conf" --seed 7
pacing_run seed8 "$WORK/seed.conf" --seed 8
SEED_SAME=$(same_sizes seed7a seed7b)
SEED_OTHER=$(same_sizes seed7a seed8)

pacing_row() { printf '| %-30s | %-10s | %-29s | %-32s | %-9s | %-13s | %-30s |\n' "$@"; }
print_pacing_table() {
    local seconds="${PACING_SECONDS} s" i gaps drawn rel abs dev target check
    echo
    echo "Pacing: gaps between departures from tcpdump on the receiving veth, $seconds per run, 100-byte"
    echo "frames; mean / median in us. CPU: user + system time of the run per second of sending."
    echo
    pacing_row "Gaps (1 stream)" "Drawn mean" "relative mean / median" "absolute mean / median" \
        "abs-drawn" "CPU rel / abs" "Target (absolute)"
    printf '|%s|%s|%s|%s|%s|%s|%s|\n' "$(dashes 32)" "$(dashes 12)" "$(dashes 31)" "$(dashes 34)" \
        "$(dashes 11)" "$(dashes 15)" "$(dashes 32)"
    for ((i = 0; i < ${#PACING_CASES[@]}; i++)); do
        gaps=${PACING_CASES[i]}
        drawn=$(offered_field "absolute$i" 1 drawn_mean_gap_us)
        rel=$(printf '%.1f / %.1f' "$(gap_field "relative$i" 1 mean)" "$(gap_field "relative$i" 1 median)")
        abs=$(printf '%.1f / %.1f, %d restarts' "$(gap_field "absolute$i" 1 mean)" \
            "$(gap_field "absolute$i" 1 median)" "$(offered_field "absolute$i" 1 restarts)")
        dev=$(calc "100 * ($(gap_field "absolute$i" 1 mean) / $drawn - 1)")
        if [[ $gaps == "constant 10" ]]; then
            target="mean 2 %" check="abs($dev) <= 2"
        else
            target="mean 1 %" check="abs($dev) <= 1"
        fi
        if [[ $gaps == constant* ]] && ((${gaps#* } >= 100)); then
            target="$target, median 2 us"
            check="$check && abs($(gap_field "absolute$i" 1 median) - $drawn) <= 2"
        fi
        pacing_row "$gaps us" "$(printf '%.2f' "$drawn")" "$rel" "$abs" "$(printf '%+.2f %%' "$dev")" \
            "$(printf '%.0f / %.0f %%' "$(cat "$WORK/relative$i.cpu")" "$(cat "$WORK/absolute$i.cpu")")" \
            "$(verdict "$check" "$target")"
    done
    local worst_rel worst_abs
    read -r _ worst_rel _ <<<"$(worst_stream relative10 100)"
    read -r _ worst_abs _ <<<"$(worst_stream absolute10 100)"
    dev=$(calc "100 * ($worst_abs / 100 - 1)")
    pacing_row "10 streams, constant 100 us" "100" "$(printf 'worst %.1f' "$worst_rel")" \
        "$(printf 'worst %.1f, %d restarts' "$worst_abs" "$(restarts_of absolute10)")" \
        "$(printf '%+.2f %%' "$dev")" \
        "$(printf '%.0f / %.0f %%' "$(cat "$WORK/relative10.cpu")" "$(cat "$WORK/absolute10.cpu")")" \
        "$(verdict "abs($dev) <= 1" "every stream 1 %")"
    pacing_row "Seed 7 twice, 3 streams" "" "sizes $SEED_SAME" "" "" "" \
        "$(verdict "\"$SEED_SAME\" ~ /identical/" "identical")"
    pacing_row "Seed 7 vs seed 8" "" "sizes $SEED_OTHER" "" "" "" \
        "$(verdict "\"$SEED_OTHER\" == \"differ\"" "differ")"
    echo
}
print_pacing_table | tee "$ROOT/build/bench/last-pacing.txt"
((PACING_ONLY)) && exit 0

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
start_tcpdump "$WORK/delay.pcap" micro
run_tg "$BINARY" "$WORK/delay.conf"
stop_tcpdump
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

batched_section

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ------------------------------------------------------------------ the table
gbit() { calc "$1 * 1500 * 8 / 1e9"; }
MIN_DIFF=$(calc "$TG_MIN - $REF_MIN")
MEAN_DIFF=$(calc "$TG_MEAN - $REF_MEAN")
RSS_DIFF=$(calc "($RSS_LONG - $RSS_SHORT) / 1024")

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
cat "$ROOT/build/bench/last-pacing.txt"
print_batched_table | tee "$ROOT/build/bench/last-batched.txt"
paths_section
print_paths_table | tee "$ROOT/build/bench/last-paths.txt"

# ------------------------------------------------------------------ accounting per frame
accounting_cost() {
    echo "Receiver's accounting per 100-byte frame, CPU time, median of 5 (build/bench/accounting_cost):"
    "$ROOT/build/bench/accounting_cost" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        2>/dev/null | awk '/_median/ { sub(/_median$/, "", $1); printf "  %-26s %6s ns\n", $1, $4 }'
}
if [[ -x $ROOT/build/bench/accounting_cost ]]; then
    accounting_cost | tee -a "$LOG"
fi
