#!/bin/bash
# Loss-and-delay test (operation 2): three streams with their own TOS, size and
# time distributions, three cycles. Rows for every cycle and stream in order,
# nothing lost on the veth pair, plausible delays, and both statistics tables
# agreeing with the rows; on a terminal a progress line that leaves the report as it is.
# The first run writes a results file (--json): every figure in it must be the tables'
# (resultscheck.py), and its delays, percentiles and jitter must agree with the frames
# tcpdump captured meanwhile on both ends of the pair. With the kernel's send stamps, on both
# send paths, the delays and the sender's lag agree with tcpdump's nanosecond stamps.
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

# With the kernel's send stamps, on both send paths: the delays from leaving the sending
# interface to arriving, and the sender's lag behind the kernel's stamp, as tcpdump's nanosecond
# stamps of both ends give them for the same frames.
tg_write_config "$TG_TMP/kernel.conf" 2 1000000 1 - "0/constant 1000/constant 1000"
for path in pcap batched; do
    tg_capture_start "$TG_TMP/kernel-rx.pcap" "$TG_RX" nano
    tg_capture_start "$TG_TMP/kernel-tx.pcap" "$TG_TX" nano
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

echo "PASS: 3 streams x 3 cycles, lossless, statistics consistent, results file agrees, kernel send stamps agree with tcpdump, progress on a terminal"
