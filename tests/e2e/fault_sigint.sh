#!/bin/bash
# SIGINT at every phase of a run:
#  1. during the set-up (interactive, and from a file that lacks the interfaces), while the
#     program waits for an answer: the signal still has its default effect and ends it;
#  2. between cycles, to the program alone, while no sender runs: the cycle that ended is
#     complete, every later cycle sends nothing, the run ends normally;
#  3. during a cycle, to the program alone: its senders finish their cycle undisturbed;
#  4. during a cycle, to the whole group, while a sender sleeps 8 s between two frames: the
#     sleep is cut short and the run ends at once;
#  5. several times (twice in a row, then once more later).
# And without a signal: a drawn gap longer than what is left of the duration ends with the
# duration, in both pacings, instead of stretching the cycle.
# Every completed run prints all cycles and both statistics tables, exits 0 and leaves no
# hand-over file.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3

# Cycles of 1 s: a cycle whose senders were held for a moment still sends far more than the 200
# frames that tell a complete cycle from one cut short.
tg_write_config "$TG_TMP/cycles.conf" 2 1000000 5 0.95 "0/constant 1000/constant 1000" "32/constant 200/constant 1000"

# Checks a completed 5-cycle run of two streams interrupted so that FIRST is the first cycle
# that may send nothing (cycles before it are complete, lossless, at least MIN frames each;
# from LAST_FULL + 1 on every cycle sends and receives nothing). FIRST..LAST_FULL may be
# either complete or empty (the signal raced with the start of a cycle).
check_interrupted_run() {
    local first_empty=$1 last_maybe_full=$2 min=$3 what=$4
    tg_expect_report 5 2 0.9500
    tg_expect_no_handover_files "$TGF_WORK"
    local c s sent received seen_empty=0
    for ((c = 1; c <= 5; c++)); do
        for s in 1 2; do
            sent=$(tg_field "$c" "$s" sent)
            received=$(tg_field "$c" "$s" received)
            ((received == sent)) || tg_fail "$what: cycle $c, stream $s received $received of $sent"
            if ((c < first_empty)); then
                ((sent >= min)) || tg_fail "$what: cycle $c, stream $s sent $sent, a complete cycle sends >= $min"
            elif ((c > last_maybe_full)); then
                ((sent == 0)) || tg_fail "$what: cycle $c, stream $s sent $sent after the interrupt, expected 0"
            elif ((sent == 0)); then
                seen_empty=1
            elif ((seen_empty)); then
                tg_fail "$what: cycle $c sent frames after an empty cycle"
            fi
        done
    done
    [[ ! -s $TG_TMP/err ]] || tg_fail "$what: unexpected text on standard error"
}

# ---- 1. during the set-up: the default effect of SIGINT ends the program
mkfifo "$TG_TMP/answers"
exec 3<>"$TG_TMP/answers" # kept open and silent: every read of the program waits
tgf_start "$TG_TMP/setup" "$TG_TMP/answers"
tgf_wait_output 'Zadejte cislo rozhrani, ktere chcete pouzivat jako odchozi: ' 5 "interactive set-up"
kill -INT "$TGF_PID"
tgf_wait_end 5 "SIGINT during the interactive set-up"
((TG_RC == 130)) || tg_fail "interactive set-up: SIGINT while waiting for an answer gave status $TG_RC, expected death by SIGINT (130)"
grep -q '^|' "$TG_TMP/out" && tg_fail "interactive set-up: a table was printed after SIGINT"
tg_expect_no_handover_files "$TG_TMP/setup"

grep -v 'receiving interface' "$TG_TMP/cycles.conf" >"$TG_TMP/no-receiving.conf"
tgf_start "$TG_TMP/setup" "$TG_TMP/answers" "$TG_TMP/no-receiving.conf"
tgf_wait_output 'Zadejte cislo rozhrani, ktere chcete pouzivat jako prichozi: ' 5 \
    "file set-up without the receiving interface"
kill -INT "$TGF_PID"
tgf_wait_end 5 "SIGINT during the file set-up"
((TG_RC == 130)) || tg_fail "file set-up: SIGINT while waiting for the interface gave status $TG_RC, expected 130"
exec 3>&-
echo "ok: SIGINT during the set-up ends the program (status 130)"

# ---- 2. between cycles, to the program alone, while the receiver finishes cycle 2
# The senders are held for a moment only to learn which cycle they send.
tgf_start "$TG_TMP/between" /dev/null "$TG_TMP/cycles.conf"
tgf_wait_rows 1 2 20
tgf_hold_senders 2 20
tgf_release_senders
tgf_wait_no_senders 5
kill -INT "$TGF_PID"
tgf_wait_end 30 "SIGINT between cycles"
# The held cycle was complete; the next may have started in the few milliseconds before the
# signal.
check_interrupted_run $((TGF_HELD_CYCLE + 1)) $((TGF_HELD_CYCLE + 1)) 200 "interrupt between cycles"
echo "ok: SIGINT between cycles: cycle $TGF_HELD_CYCLE complete, later cycles sent nothing"

# ---- 3. during a cycle, to the program alone: the senders do not see it
# The senders of the cycle after the first are held while the signal is sent, so it certainly
# comes while they have frames to send.
tgf_start "$TG_TMP/during" /dev/null "$TG_TMP/cycles.conf"
tgf_wait_rows 1 2 20
tgf_hold_senders 2 20
kill -INT "$TGF_PID"
tgf_release_senders
tgf_wait_end 30 "SIGINT to the program during a cycle"
check_interrupted_run $((TGF_HELD_CYCLE + 1)) "$TGF_HELD_CYCLE" 200 \
    "interrupt of the program during cycle $TGF_HELD_CYCLE"
echo "ok: SIGINT to the program during cycle $TGF_HELD_CYCLE: that cycle complete, later cycles sent nothing"

# ---- 4. to the whole group while a sender sleeps: the sleep is cut short
tg_write_config "$TG_TMP/sleepy.conf" 2 20000000 2 0.95 "0/constant 100/constant 8000000"
received_before=$(tg_rx_packets)
tgf_start "$TG_TMP/sleepy" /dev/null "$TG_TMP/sleepy.conf"
tgf_wait_senders 1 5
# Its one frame has arrived: the sender is in its wait.
for ((i = 0; i < 500; i++)); do
    (($(tg_rx_packets) > received_before)) && break
    sleep 0.02
done
kill -INT -- "-$TGF_PID"
start=$(date +%s%N)
tgf_wait_end 30 "SIGINT during a long wait"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
((elapsed_ms < 4000)) ||
    tg_fail "interrupt during an 8 s wait: the run took $elapsed_ms ms to end, the wait was not cut short"
tg_expect_report 2 1 0.9500
tg_expect_no_handover_files "$TGF_WORK"
((($(tg_field 1 1 sent) == 1) && $(tg_field 1 1 received) == 1)) ||
    tg_fail "interrupt during the wait: cycle 1 should have sent and received its one frame"
(($(tg_field 2 1 sent) == 0)) || tg_fail "interrupt during the wait: cycle 2 sent frames"
echo "ok: SIGINT during an 8 s wait ends the run in $elapsed_ms ms"

# ---- 5. twice in a row during cycle 2 (to the group), once more during cycle 4
# The senders are held while the two signals are sent: they find them when they go on.
tgf_start "$TG_TMP/twice" /dev/null "$TG_TMP/cycles.conf"
tgf_wait_rows 1 2 20
tgf_hold_senders 2 20
kill -INT -- "-$TGF_PID"
kill -INT -- "-$TGF_PID"
tgf_release_senders
tgf_wait_rows 3 2 20
kill -INT -- "-$TGF_PID" 2>/dev/null || true
tgf_wait_end 30 "SIGINT three times"
# The held cycle was cut short: only its sent == received is checked.
cut=$TGF_HELD_CYCLE
check_interrupted_run "$cut" "$cut" 200 "interrupt twice"
(($(tg_field "$cut" 1 sent) < $(tg_field 1 1 sent))) || tg_fail "interrupt twice: cycle $cut was not cut short"
echo "ok: SIGINT three times: complete cycles, cycle $cut cut short, the rest empty"

# ---- a gap of 10 s in a cycle of 1 s: the sender ends with its duration
tg_write_config "$TG_TMP/gap.conf" 2 1000000 2 0.95 "0/constant 100/constant 10000000"
for pacing in relative absolute; do
    start=$(date +%s%N)
    tg_exec 60 "$TG_BIN" --pacing "$pacing" "$TG_TMP/gap.conf"
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    tg_expect_report 2 1 0.9500
    tg_expect_quiet_stderr
    for cycle in 1 2; do
        ((($(tg_field "$cycle" 1 sent) == 1) && $(tg_field "$cycle" 1 received) == 1)) ||
            tg_fail "$pacing pacing, 10 s gap: cycle $cycle should have sent and received its one frame"
    done
    # Two cycles of 1 s; sleeping out the gaps took over 20 s.
    ((elapsed_ms < 8000)) || tg_fail "$pacing pacing: two 1 s cycles with a 10 s gap took $elapsed_ms ms"
    echo "ok: $pacing pacing, a 10 s gap in 1 s cycles: two cycles in $elapsed_ms ms"
done
echo "PASS: SIGINT at every phase; no wait past the duration"
