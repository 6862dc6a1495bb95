#!/bin/bash
# The frames on the wire, captured independently with tcpdump on the receiving
# end and decoded field by field (pcapcheck.py): addresses, protocol fields,
# checksums, TOS per stream, lengths with the clamping to 59..1500 bytes, stream
# letter, filler and send time. The capture's per-stream counts must equal what
# the program reports as received (and sent, on the lossless pair). The source
# address is the sending interface's own; a second short run sets it with the
# `source MAC` key.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" tcpdump python3

capture=$TG_TMP/wire.pcap

# Runs the program on CONF while tcpdump captures the receiving end into $capture;
# sets start and end (wall-clock seconds around the run).
captured_run() {
    tg_capture_start "$capture"
    start=$(date +%s.%N)
    tg_run "$1"
    end=$(date +%s.%N)
    tg_capture_stop
}

# Stream 1 draws sizes from 0..1999, so both clampings happen; stream 2 has fixed
# 60-byte frames (one above the minimum), stream 3 fixed 1500-byte ones.
tg_write_config "$TG_TMP/wire.conf" 2 1000000 1 - "0/uniform 1000/constant 1000" "184/constant 60/constant 1000" \
    "255/constant 1500/constant 2000"
captured_run "$TG_TMP/wire.conf"
tg_expect_report 1 3
tg_expect_lossless 100
tg_expect_plausible_delays 1000000
tg_expect_quiet_stderr
counts=$(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" --src-mac "$TG_TX_MAC" --src "$TG_TX_IP" \
    --dst "$TG_RX_IP" --tos 0,184,255 --start "$start" --end "$end" \
    --size 2=60 --size 3=1500 --clamped 1) || tg_fail "the frames on the wire are not as specified"
while read -r stream count; do
    received=$(tg_field 1 "$stream" received)
    ((count == received)) ||
        tg_fail "stream $stream: tcpdump saw $count frames, the program reports $received received"
    echo "stream $stream: $count frames on the wire, $received reported"
done <<<"$counts"

# The all-zero source address, as a device's source-address rules would see it.
tg_write_config "$TG_TMP/zero.conf" 2 200000 1 - "8/constant 100/constant 2000"
tg_config_key "$TG_TMP/zero.conf" "source MAC" 00:00:00:00:00:00
captured_run "$TG_TMP/zero.conf"
tg_expect_report 1 1
tg_expect_lossless 50
counts=$(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" --src-mac 00:00:00:00:00:00 \
    --src "$TG_TX_IP" --dst "$TG_RX_IP" --tos 8 --start "$start" --end "$end" --size 1=100) ||
    tg_fail "the frames with the source MAC of the configuration are not as specified"
[[ $counts == "1 $(tg_field 1 1 received)" ]] || tg_fail "tcpdump saw '$counts', the program reports otherwise"
echo "PASS: every frame on the wire is a well-formed test frame, from $TG_TX_MAC or the configured source"
