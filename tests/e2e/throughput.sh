#!/bin/bash
# Throughput test (operation 1) for one second on a lossless veth pair: the
# one-cycle table layout, every frame that was sent arrives, delays are
# plausible, and no statistics tables follow. Then once more on the batched send
# path: the same report, and the counts agree with the receiving veth's own.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}"

tg_write_config "$TG_TMP/throughput.conf" 1 1000000

tg_run "$TG_TMP/throughput.conf"
tg_expect_report 1 1
# Back to back 1500-byte frames: even a slow machine sends thousands in a second.
tg_expect_lossless 1000 capture-drops
tg_expect_plausible_delays 1000000
tg_expect_no_handover_files

# Throughput = bytes / time between first and last arrival: with N frames of
# 1500 bytes in at most one second it cannot be below N*1500 bytes per second.
received=$(tg_field 1 1 received)
throughput=$(tg_field 1 1 throughput)
tg_num 't >= n * 1500 / 1048576 * 0.98' t="$throughput" n="$received" ||
    tg_fail "throughput $throughput MB/s is too low for $received frames of 1500 bytes in one second"
tg_num 't < 100000' t="$throughput" || tg_fail "throughput $throughput MB/s is not plausible"
echo "PASS: throughput test sent and received $received frames, $throughput MB/s"

# The batched path: every frame it counts as sent reached the receiving veth (its kernel
# counter, beside the program's figures) and was received.
rx_packets() { ip netns exec "$TG_NS" cat "/sys/class/net/$TG_RX/statistics/rx_packets"; }
before=$(rx_packets)
tg_exec 60 "$TG_BIN" --send-path batched "$TG_TMP/throughput.conf"
arrived=$(($(rx_packets) - before))
tg_expect_report 1 1
tg_expect_lossless 1000 capture-drops
tg_expect_plausible_delays 1000000
tg_expect_no_handover_files
sent=$(tg_field 1 1 sent)
# A stray frame of the kernel's own (neighbour discovery, say) may cross the veth as well.
((arrived >= sent && arrived <= sent + 10)) ||
    tg_fail "batched path: $sent frames reported sent, the receiving veth counted $arrived"
echo "PASS: batched path sent $sent frames, the receiving veth counted $arrived"
