#!/bin/bash
# SIGINT in the middle of a five-cycle run, sent to the whole process group as a
# terminal's interrupt key would: the senders of cycle 2 stop, cycles 3 to 5 still
# run but send nothing, all five cycles and both statistics tables are printed,
# the exit status is 0 and no hand-over file nor the run's private directory for them is left
# behind, and the results file (--json) is written too, marked as interrupted, with the same
# five cycles. SIGTERM to the program alone, in cycle 2 of 200: the same, with its sender
# stopped by the program and the 198 cycles left printed at once. Then one run per receiving
# interface (see that section).
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3

tg_write_config "$TG_TMP/interrupt.conf" 2 1000000 5 0.95 "0/constant 1000/constant 1000" "32/constant 500/constant 1000"

# In a process group of its own with the default SIGINT disposition, like a terminal's job.
tgf_start "$TG_TMP/run" /dev/null --json "$TG_TMP/results.json" "$TG_TMP/interrupt.conf"
# Cycle 1's rows appear when cycle 1 has ended; cycle 2 is running then.
tgf_wait_rows 1 2 10
(($(grep -c '^|   1 |' "$TG_TMP/out") == 2)) || tg_fail "cycle 1 printed more than its 2 rows"
# The senders' counts go through a directory of the run's own under its $TMPDIR.
private=$(find "$TG_RUN_TMPDIR" -mindepth 1 -maxdepth 1 -printf '%f %m %u\n')
[[ $private =~ ^trafficgen-[A-Za-z0-9]{6}\ 700\ root$ ]] ||
    tg_fail "expected one private directory (mode 700) in the run's \$TMPDIR, found '$private'"
sleep 0.3
pgid=$(ps -o pgid= -p "$TGF_PID" | tr -d ' ')
[[ $pgid == "$TGF_PID" ]] || tg_fail "the program is not leading its own process group (pgid $pgid)"
kill -INT -- "-$TGF_PID"
tgf_wait_end 15 "SIGINT to the group"

tg_expect_report 5 2 0.9500
tg_expect_no_handover_files "$TGF_WORK"
tg_expect_plausible_delays 1000000
# Cycles without frames count in the means too (their mean delay is 0).
tg_expect_statistics_match_rows 5 2 1.648

for stream in 1 2; do
    sent1=$(tg_field 1 "$stream" sent)
    received1=$(tg_field 1 "$stream" received)
    sent2=$(tg_field 2 "$stream" sent)
    received2=$(tg_field 2 "$stream" received)
    ((sent1 >= 100 && received1 == sent1)) ||
        tg_fail "cycle 1, stream $stream: received $received1 of $sent1 (a full cycle, nothing lost)"
    # Interrupted about 0.3 s into cycle 2: fewer frames than a full cycle, none lost.
    ((sent2 > 0 && sent2 < sent1 * 8 / 10)) ||
        tg_fail "cycle 2, stream $stream sent $sent2 frames, cycle 1 $sent1: the interrupt did not stop it"
    ((received2 == sent2)) || tg_fail "cycle 2, stream $stream: received $received2 of $sent2"
    for cycle in 3 4 5; do
        sent=$(tg_field "$cycle" "$stream" sent)
        received=$(tg_field "$cycle" "$stream" received)
        loss=$(tg_field "$cycle" "$stream" loss)
        min=$(tg_field "$cycle" "$stream" min)
        max=$(tg_field "$cycle" "$stream" max)
        ((sent == 0 && received == 0)) ||
            tg_fail "cycle $cycle, stream $stream after the interrupt: sent $sent, received $received, expected 0 and 0"
        [[ $loss == 0 ]] || tg_fail "cycle $cycle, stream $stream: loss '$loss' with nothing sent, expected 0"
        [[ $min == 4294967295 && $max == 0 ]] ||
            tg_fail "cycle $cycle, stream $stream: delays $min..$max with nothing received, expected 4294967295..0"
    done
    # The statistics still cover the two cycles that captured frames.
    read -r _ lowest highest _ <<<"$(tg_stat_row delay "$stream")"
    min1=$(tg_field 1 "$stream" min)
    min2=$(tg_field 2 "$stream" min)
    max1=$(tg_field 1 "$stream" max)
    max2=$(tg_field 2 "$stream" max)
    ((lowest == (min1 < min2 ? min1 : min2) && highest == (max1 > max2 ? max1 : max2))) ||
        tg_fail "stream $stream: delay statistics $lowest..$highest, cycles 1 and 2 give" \
            "$((min1 < min2 ? min1 : min2))..$((max1 > max2 ? max1 : max2))"
done
python3 "$TG_LIB_DIR/resultscheck.py" --interrupted "$TG_TMP/results.json" "$TG_TMP/out" ||
    tg_fail "the results file of the interrupted run disagrees with its tables"
echo "ok: interrupted in cycle 2, all 5 cycles and both statistics tables printed, results file written"

# ---- SIGTERM to the program alone (as timeout, kill and service managers send it)
# 200 cycles of 1 s; the 198 left after the signal send nothing and need no capture wait, so
# the run ends in a fraction of the 25 s that waiting out each cycle's quiet period took.
tg_write_config "$TG_TMP/many.conf" 2 1000000 200 0.95 "0/constant 100/constant 1000"
tgf_start "$TG_TMP/term" /dev/null --json "$TG_TMP/term.json" "$TG_TMP/many.conf"
tgf_wait_sending 2 1 10
sleep 0.3
kill -TERM "$TGF_PID"
tgf_wait_end 10 "SIGTERM in cycle 2 of 200"
tg_expect_report 200 1 0.9500
tg_expect_no_handover_files "$TGF_WORK"
tg_expect_quiet_stderr
sent1=$(tg_field 1 1 sent)
sent2=$(tg_field 2 1 sent)
((sent1 >= 500 && $(tg_field 1 1 received) == sent1)) || tg_fail "SIGTERM: cycle 1 received $(tg_field 1 1 received) of $sent1"
((sent2 > 0 && sent2 < sent1 * 8 / 10)) ||
    tg_fail "SIGTERM: cycle 2 sent $sent2 frames, cycle 1 $sent1: the signal did not stop the sender"
(($(tg_field 2 1 received) == sent2)) || tg_fail "SIGTERM: cycle 2 received $(tg_field 2 1 received) of $sent2"
late=$(tg_rows | awk '$1 >= 3 && ($3 != 0 || $4 != 0 || $5 != 0 || $7 != 4294967295 || $8 != 0)')
[[ -z $late ]] || tg_fail "SIGTERM: cycles after the signal that are not empty: $late"
python3 "$TG_LIB_DIR/resultscheck.py" --interrupted "$TG_TMP/term.json" "$TG_TMP/out" ||
    tg_fail "the results file of the run ended by SIGTERM disagrees with its tables"
echo "ok: SIGTERM in cycle 2 of 200: its sender stopped, all 200 cycles, both tables and the results file"

# ---- one run per receiving interface, in each network namespace
# A second run whose receiving interface a running trafficgen captures on ends before it sends
# anything; a run on another interface, and one in another namespace with interfaces of the
# same names, go ahead; a run killed with SIGKILL leaves nothing that refuses the next one,
# not even its sender that lives on.
net=$(($$ % 250 + 1))
tg_write_config "$TG_TMP/long.conf" 2 3000000 1 - "0/constant 1000/constant 2000"
tg_write_config "$TG_TMP/short.conf" 2 300000 1 - "0/constant 500/constant 1000"
tg_more_pair "$TG_NS" "tgs2$$" "tgr2$$" "10.78.$net"
(TG_TX=tgs2$$ TG_RX=tgr2$$ TG_RX_MAC=$TG_MORE_RX_MAC &&
    tg_write_config "$TG_TMP/other.conf" 2 300000 1 - "0/constant 500/constant 1000")
tg_more_pair "tgtwin$$" "$TG_TX" "$TG_RX" "10.77.$net"
(TG_RX_MAC=$TG_MORE_RX_MAC && tg_write_config "$TG_TMP/twin.conf" 2 300000 1 - "0/constant 500/constant 1000")

# Runs CONFIG in namespace NS beside the background run; output in $TG_TMP/NAME.out and .err.
run_beside() {
    local name=$1 ns=$2 config=$3
    tg_exec_in "$ns" "$TG_TMP/$name.out" "$TG_TMP/$name.err" 20 "$TG_BIN" "$config"
}

# Status 0 and one row in which every frame sent (at least one) arrived, for run NAME.
expect_beside_lossless() {
    ((TG_RC == 0)) || tg_fail "$1: status $TG_RC: $(cat "$TG_TMP/$1.err")"
    read -r _ _ received sent _ <<<"$(tg_rows "$TG_TMP/$1.out")"
    ((sent > 0 && received == sent)) || tg_fail "$1: received ${received:-?} of ${sent:-?} frames"
    [[ ! -s $TG_TMP/$1.err ]] || tg_fail "$1: unexpected text on standard error: $(cat "$TG_TMP/$1.err")"
}

tgf_start "$TG_TMP/claimed" /dev/null "$TG_TMP/long.conf"
tgf_wait_senders 1 5
run_beside busy "$TG_NS" "$TG_TMP/short.conf"
((TG_RC == 1)) || tg_fail "a second run on the busy receiving interface ended with status $TG_RC, expected 1"
[[ $(<"$TG_TMP/busy.err") == "Prijimaci rozhrani $TG_RX uz pouziva jiny beh programu trafficgen!" ]] ||
    tg_fail "a second run on the busy receiving interface said: '$(cat "$TG_TMP/busy.err")'"
[[ ! -s $TG_TMP/busy.out ]] || tg_fail "the refused run printed: $(head -n 3 "$TG_TMP/busy.out")"
run_beside other "$TG_NS" "$TG_TMP/other.conf"
expect_beside_lossless other
run_beside twin "tgtwin$$" "$TG_TMP/twin.conf"
expect_beside_lossless twin
tgf_wait_end 20 "the run beside which others were started"
# Its figures show that nothing of the refused run reached its interface.
tg_expect_report 1 1
tg_expect_lossless 1
tg_expect_quiet_stderr
tg_expect_no_handover_files "$TGF_WORK"
echo "ok: a busy receiving interface refuses a second run; another interface and another namespace do not"

tg_write_config "$TG_TMP/longer.conf" 2 20000000 1 - "0/constant 1000/constant 2000"
tgf_start "$TG_TMP/killed" /dev/null "$TG_TMP/longer.conf"
tgf_wait_senders 1 5
kill -KILL "$TGF_PID"
tgf_wait_end 5 "SIGKILL"
# Its sender dies with it: no process of the run is left (a zombie not yet reaped by the
# process that inherited it sends nothing), and nothing reaches the receiving interface (the
# sender would send a frame every 2 ms for another 20 s).
live_in_run() { ps -e -o pgid=,pid=,stat= | awk -v g="$TGF_PID" '$1 == g && $3 !~ /^Z/ { print $2 }'; }
for ((i = 0; i < 250; i++)); do
    [[ -z $(live_in_run) ]] && break
    sleep 0.02
done
[[ -z $(live_in_run) ]] || tg_fail "processes of the run killed with SIGKILL live on: $(live_in_run | tr '\n' ' ')"
sleep 0.1
arrived=$(tg_rx_packets)
sleep 0.5
(($(tg_rx_packets) == arrived)) || tg_fail "$(($(tg_rx_packets) - arrived)) frames arrived after the run was killed with SIGKILL"
run_beside after "$TG_NS" "$TG_TMP/short.conf"
((TG_RC == 0)) || tg_fail "a run after one killed with SIGKILL ended with status $TG_RC: $(cat "$TG_TMP/after.err")"
echo "ok: a run killed with SIGKILL takes its sender with it and leaves its receiving interface free"
echo "PASS: SIGINT and SIGTERM mid-run, SIGKILL, one run per receiving interface"
