#!/bin/bash
# Loss-and-delay test (operation 2): three streams with their own TOS, size and
# time distributions, three cycles. Rows for every cycle and stream in order,
# nothing lost on the veth pair, plausible delays, and both statistics tables
# agreeing with the rows; on a terminal a progress line that leaves the report as it is.
# The first run writes a results file (--json): every figure in it must be the tables'
# (resultscheck.py), and its delays, percentiles and jitter must agree with the frames
# tcpdump captured meanwhile on both ends of the pair. With the kernel's send stamps, on both
# send paths, the delays and the sender's lag agree with tcpdump's nanosecond stamps. A stream of
# 64 flows arrives spread over the receive queues of a multi-queue veth pair, where one flow
# keeps to one queue.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" tcpdump python3

tg_write_config "$TG_TMP/loss-delay.conf" 2 1000000 3 0.95 "0/constant 1000/constant 1000" \
    "184/normal 800 200/constant 1000" "46/constant 200/exponential 2000"

tg_capture_start "$TG_TMP/loss-delay.pcap"
tg_capture_start "$TG_TMP/loss-delay-sent.pcap" "$TG_TX"
tg_exec 60 "$TG_BIN" --json "$TG_TMP/results.json" "$TG_TMP/loss-delay.conf"
tg_capture_stop
tg_expect_report 3 3 0.9500
# One frame per millisecond at most: a few hundred per second even on a busy machine.
tg_expect_lossless 100
tg_expect_plausible_delays 1000000
tg_expect_statistics_match_rows 3 3 1.648
tg_expect_no_handover_files
tg_expect_quiet_stderr

# A constant gap of 1000 us plus the send cost: no more than 1000 frames a second.
for stream in 1 2; do
    for cycle in 1 2 3; do
        sent=$(tg_field "$cycle" "$stream" sent)
        ((sent <= 1000)) || tg_fail "cycle $cycle, stream $stream sent $sent frames with 1000 us gaps in 1 s"
    done
done
# Nothing lost in any cycle: every loss statistic is 0 with the interval <0.000, 0.000>.
for stream in 1 2 3; do
    row=$(tg_stat_row loss "$stream")
    [[ $row == "$stream 0 0 0 0.000 0.000" ]] ||
        tg_fail "loss statistics of stream $stream are '$row', expected all zero"
done
python3 "$TG_LIB_DIR/resultscheck.py" "$TG_TMP/results.json" "$TG_TMP/out" \
    --capture "$TG_TMP/loss-delay.pcap" --sent-capture "$TG_TMP/loss-delay-sent.pcap" || tg_fail "the results file disagrees with the tables or the capture"
[[ $(stat -c %a "$TG_TMP/results.json") == 644 ]] || tg_fail "the results file is not mode 644"

# With the kernel's send stamps, on every send path: the delays from leaving the sending
# interface to arriving, and the sender's lag behind the kernel's stamp, as tcpdump's nanosecond
# stamps of both ends give them for the same frames (AF_XDP sends its stamped frames beside).
tg_write_config "$TG_TMP/kernel.conf" 2 1000000 1 - "0/constant 1000/constant 1000"
for path in pcap batched xdp; do
    tg_capture_start "$TG_TMP/kernel-rx.pcap" "$TG_RX" "udp dst port 33333" nano
    tg_capture_start "$TG_TMP/kernel-tx.pcap" "$TG_TX" "udp dst port 33333" nano
    tg_exec 60 "$TG_BIN" --stamp-source kernel --send-path "$path" --json "$TG_TMP/kernel.json" \
        "$TG_TMP/kernel.conf"
    tg_capture_stop
    tg_expect_status 0
    grep -q '^Znacky odeslani: tok 1 v cyklu 1: kernel, znacen kazdy 1\. paket, chybi 0 z ' "$TG_TMP/out" ||
        tg_fail "$path: no line on the kernel's send stamps: $(cat "$TG_TMP/out")"
    python3 "$TG_LIB_DIR/resultscheck.py" "$TG_TMP/kernel.json" "$TG_TMP/out" --kernel-stamps \
        --capture "$TG_TMP/kernel-rx.pcap" --sent-capture "$TG_TMP/kernel-tx.pcap" ||
        tg_fail "$path: the kernel-stamped delays disagree with tcpdump's"
done

# On a terminal, standard error shows a progress line during every cycle, drawn a few times a
# second and wiped before the cycle's rows: standard output stays the same report.
tg_run_tty stderr "$TG_TMP/loss-delay.conf"
tg_expect_report 3 3 0.9500
progress=$(python3 "$TG_LIB_DIR/pty_run.py" progress "$TG_TMP/tty" 2>&1) || tg_fail "$progress"
cycle=0
while read -r shown drawings count; do
    cycle=$((cycle + 1))
    ((shown == cycle)) || tg_fail "progress of cycle $shown where cycle $cycle was expected"
    # A cycle of 1 s and its end: drawn every 0.25 s.
    ((drawings >= 2 && drawings <= 8)) || tg_fail "progress of cycle $cycle drawn $drawings times"
    received=$(tg_rows | awk -v c="$cycle" '$1 == c { sum += $3 } END { print sum + 0 }')
    ((count <= received)) || tg_fail "progress of cycle $cycle showed $count frames, rows $received"
done <<<"$progress"
((cycle == 3)) || tg_fail "progress shown for $cycle cycles, expected 3"
# Both on one terminal: the screen shows exactly the report, no trace of the progress line.
tg_run_tty both "$TG_TMP/loss-delay.conf"
tg_expect_status 0
tg_check_layout 3 3 0.9500 "$TG_TMP/screen"

# Flows: a second veth pair with four queues each way, whose receiving end's queues each count
# what they took (GRO on, so that veth passes every frame through its per-queue NAPI; TSO off on
# the sending end, which veth asks for it). One flow lands on one queue; a stream over 64 flows
# (source ports 10000-10063) is spread over all four, each flow on the queue its hash picks:
# every queue gets at least 5 % (about 16 flows each; fewer than 4 on one queue happens once in
# 10^5 boots' hash seeds).
if command -v ethtool >/dev/null; then
    net=$((($$ + 50) % 250 + 1))
    ip -n "$TG_NS" link add tgqs$$ numtxqueues 4 numrxqueues 4 type veth peer name tgqr$$ \
        numtxqueues 4 numrxqueues 4 || tg_fail "cannot create the multi-queue veth pair"
    ip netns exec "$TG_NS" ethtool -K tgqr$$ gro on rx-udp-gro-forwarding on >/dev/null &&
        ip netns exec "$TG_NS" ethtool -K tgqs$$ tso off gso off >/dev/null ||
        tg_fail "cannot set the multi-queue pair's offloads"
    TG_TX=tgqs$$ TG_RX=tgqr$$ TG_TX_IP=10.83.$net.1 TG_RX_IP=10.83.$net.2 tg_ends_up
    queues() {
        ip netns exec "$TG_NS" ethtool -S tgqr$$ | awk '/rx_queue_[0-9]+_xdp_packets/ { printf "%s ", $2 }'
    }
    for ports in 10000 10000-10063; do
        TG_TX=tgqs$$ TG_RX=tgqr$$ TG_RX_MAC=$(tg_mac_of tgqr$$) tg_write_config "$TG_TMP/flows.conf" 2 500000 1 - \
            "0/constant 100/constant 500"
        tg_stream_key "$TG_TMP/flows.conf" 1 "source ports" "$ports"
        read -r -a before <<<"$(queues)"
        tg_exec 60 "$TG_BIN" --send-path batched "$TG_TMP/flows.conf"
        tg_expect_lossless 100
        read -r -a after <<<"$(queues)"
        spread=$(for q in 0 1 2 3; do printf '%d ' $((after[q] - before[q])); done)
        total=$(tg_field 1 1 received)
        read -r -a taken <<<"$spread"
        ((taken[0] + taken[1] + taken[2] + taken[3] == total)) ||
            tg_fail "$ports: the queues took $spread, the stream received $total"
        if [[ $ports == 10000 ]]; then
            [[ " $spread " == *" $total "* ]] || tg_fail "one flow spread over the queues as $spread"
        else
            for q in 0 1 2 3; do
                ((taken[q] * 20 >= total)) || tg_fail "64 flows: queue $q took ${taken[q]} of $total ($spread)"
            done
        fi
        echo "source ports $ports: $total frames over the receive queues as $spread"
    done
else
    tg_log "note: ethtool missing, the spread of flows over receive queues is not checked"
fi

echo "PASS: 3 streams x 3 cycles, lossless, statistics consistent, results file agrees, kernel send stamps agree with tcpdump, progress on a terminal, flows spread over queues"
