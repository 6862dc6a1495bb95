#!/bin/bash
# A token-bucket shaper with a tiny queue on the sending end makes the kernel refuse most
# frames of a full-speed run (pcap_sendpacket fails with ENOBUFS). The run must say so on
# standard error for the stream, naming the refused count, while the table keeps counting
# every frame handed to the library as sent; without the shaper no warning appears.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" tc

tg_write_config "$TG_TMP/throughput.conf" 1 1000000

tc -n "$TG_NS" qdisc add dev "$TG_TX" root tbf rate 10mbit burst 5kb limit 3000 ||
    tg_fail "cannot install the tbf shaper on $TG_TX"

tg_run "$TG_TMP/throughput.conf"
tg_expect_report 1 1
tg_expect_no_handover_files

received=$(tg_field 1 1 received)
sent=$(tg_field 1 1 sent)
loss=$(tg_field 1 1 loss)

warning_re='^Varovani: tok 1 v cyklu 1: lokalni system odmitl odeslat ([0-9]+) paketu, zachytavani zahodilo ([0-9]+) paketu; ztraty nemusi byt jen na trase$'
mapfile -t err_lines <"$TG_TMP/err"
((${#err_lines[@]} == 1)) || tg_fail "expected exactly one warning line on standard error, got ${#err_lines[@]}"
[[ ${err_lines[0]} =~ $warning_re ]] || tg_fail "standard error is not the refused-frames warning: '${err_lines[0]}'"
refused=${BASH_REMATCH[1]}
dropped=${BASH_REMATCH[2]}

# 10 Mbit/s for one second carries under 1000 frames of 1500 bytes; a full-speed sender offers
# far more, so nearly all of them must have been refused.
((received > 0 && received < 2000)) || tg_fail "received $received frames through a 10 Mbit/s shaper"
((refused > 10 * received)) || tg_fail "only $refused frames refused, $received received"
((dropped == 0)) || tg_fail "the capture dropped $dropped frames at 10 Mbit/s"
# Refused frames stay counted as sent: the table's loss is the share that did not arrive.
((sent == received + refused)) ||
    tg_fail "sent $sent is not received $received + refused $refused (a frame the shaper accepted got lost?)"
expected_loss=$(awk -v s="$sent" -v r="$received" 'BEGIN { printf "%.3g", (s - r) / s * 100 }')
[[ $loss == "$expected_loss" ]] || tg_fail "loss printed as $loss, expected $expected_loss"

# Without the shaper nothing is refused and nothing is said (a paced run, so that a busy
# machine cannot make the capture fall behind either).
tc -n "$TG_NS" qdisc del dev "$TG_TX" root
tg_write_config "$TG_TMP/paced.conf" 2 500000 1 - "0/constant 1500/constant 1000"
tg_run "$TG_TMP/paced.conf"
tg_expect_status 0
tg_expect_quiet_stderr
tg_expect_lossless 100
echo "tbf_warning: ok (refused $refused of $sent, received $received)"
