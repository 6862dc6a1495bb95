#!/bin/bash
# A token bucket (tbf, 20 Mbit/s) on the sending end: the throughput test's
# measured throughput follows the bucket's rate, and the frames the local
# queue refuses count as sent but not received, so the table shows loss and a
# warning on standard error says the local system refused them.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" tc
ip netns exec "$TG_NS" tc qdisc add dev "$TG_TX" root tbf rate 20mbit burst 32kbit latency 50ms ||
    tg_fail "cannot add the tbf qdisc"

tg_write_config "$TG_TMP/tbf.conf" 1 2000000

tg_run "$TG_TMP/tbf.conf"
tg_expect_report 1 1
tg_expect_plausible_delays 1000000
tg_expect_no_handover_files

sent=$(tg_field 1 1 sent)
received=$(tg_field 1 1 received)
loss=$(tg_field 1 1 loss)
throughput=$(tg_field 1 1 throughput)
expected=$(awk 'BEGIN { printf "%.3f", 20000000 / 8 / 1048576 }')
((received > 100)) || tg_fail "only $received frames passed the 20 Mbit/s bucket in 2 s"
((received < sent)) || tg_fail "received $received of $sent: the bucket refused nothing?"
tg_num 'l > 0 && abs(l - (s - r) / s * 100) <= 0.01 * l + 0.001' l="$loss" s="$sent" r="$received" ||
    tg_fail "loss $loss % does not match $received received of $sent sent"
# The bucket never lets more through than its rate (its 4000-byte burst is noise over
# 2 s), so a reading even slightly above it is wrong, e.g. 10^6 bytes taken for a MB;
# a loaded machine can serve the bucket late and measure a little less.
tg_num 't >= e * 0.9 && t <= e * 1.025' t="$throughput" e="$expected" ||
    tg_fail "throughput $throughput MB/s does not follow the bucket's $expected MB/s"
grep -q "lokalni system odmitl odeslat [1-9]" "$TG_TMP/err" ||
    tg_fail "no warning that the local system refused to send frames"
echo "PASS: tbf at $expected MB/s measured $throughput MB/s, loss $loss % ($received of $sent)"
