#!/bin/bash
# Foreign traffic to port 33333 on the receiving interface during a run: frames too short to
# be test frames (some with the letter of stream 1 where a test frame has it), frames with
# letters of no stream of the run, a TCP segment, sent one every millisecond without a pause
# from before the run until after it. The receiver must ignore all of them (every stream
# receives exactly what it sent) and must still end every cycle on time, although the
# capture never goes 50 ms without a frame.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" python3

tg_write_config "$TG_TMP/foreign.conf" 2 1000000 3 0.95 "0/constant 1000/constant 1000" "32/uniform 400/constant 1000"

ip netns exec "$TG_NS" python3 "$TG_LIB_DIR/foreign_frames.py" --interface "$TG_TX" \
    --dst-mac "$TG_RX_MAC" --src-ip "$TG_TX_IP" --dst-ip "$TG_RX_IP" --streams 2 \
    --seconds 40 --interval 0.001 >"$TG_TMP/flood.out" 2>&1 &
flood=$!
TG_PIDS+=("$flood")
sleep 0.5
kill -0 "$flood" 2>/dev/null || tg_fail "the foreign-frame sender did not start: $(cat "$TG_TMP/flood.out")"

start=$(date +%s%N)
tgf_start "$TG_TMP/run" /dev/null "$TG_TMP/foreign.conf"
tgf_wait_end 60 "foreign traffic"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
kill -0 "$flood" 2>/dev/null || tg_fail "the foreign-frame sender stopped before the run ended: $(cat "$TG_TMP/flood.out")"
tg_stop "$flood"

tg_expect_report 3 2 0.9500
tg_expect_no_handover_files "$TGF_WORK"
# Three cycles of one second: the run may take a few seconds more, not tens.
((elapsed_ms < 12000)) || tg_fail "three 1 s cycles took $elapsed_ms ms under foreign traffic"
# Every stream got exactly its own frames: a foreign frame counted would show as received > sent.
tg_expect_lossless 300
tg_expect_plausible_delays 1000000
grep -q "$TGF_UNKNOWN_COUNT" "$TG_TMP/err" && tg_fail "a sent count was lost under foreign traffic"
echo "PASS: foreign frames ignored, every cycle ended on time (${elapsed_ms} ms for 3 cycles of 1 s)"
