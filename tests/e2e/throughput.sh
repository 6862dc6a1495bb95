#!/bin/bash
# Throughput test (operation 1) for one second on a lossless veth pair: the
# one-cycle table layout, every frame that was sent arrives, delays are
# plausible, and no statistics tables follow. Then once more on the batched and on
# the AF_XDP send path: the same report, and the counts agree with the receiving
# veth's own; AF_XDP refused when asked for is an error.
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

# The batched and the AF_XDP path: every frame each counts as sent reached the receiving veth
# (its kernel counter, beside the program's figures) and was received.
rx_packets() { ip netns exec "$TG_NS" cat "/sys/class/net/$TG_RX/statistics/rx_packets"; }
for path in batched xdp; do
    before=$(rx_packets)
    tg_exec 60 "$TG_BIN" --send-path "$path" --json "$TG_TMP/$path.json" "$TG_TMP/throughput.conf"
    arrived=$(($(rx_packets) - before))
    tg_expect_report 1 1
    tg_expect_lossless 1000 capture-drops
    tg_expect_plausible_delays 1000000
    tg_expect_no_handover_files
    sent=$(tg_field 1 1 sent)
    # A stray frame of the kernel's own (neighbour discovery, say) may cross the veth as well.
    ((arrived >= sent && arrived <= sent + 10)) ||
        tg_fail "$path path: $sent frames reported sent, the receiving veth counted $arrived"
    echo "PASS: $path path sent $sent frames, the receiving veth counted $arrived"
done
python3 -c 'import json, sys; t = json.load(open(sys.argv[1]))["test"]; sys.exit(not (t["send_path"] == "xdp" and t["send_path_mode"] in ("copy", "zero-copy")))' \
    "$TG_TMP/xdp.json" || tg_fail "the results file does not name the AF_XDP path and its mode"

# AF_XDP refused (no locked memory for its frames): asked for explicitly, the run ends with one line.
tg_exec 60 prlimit --memlock=65536 setpriv --bounding-set=-ipc_lock --inh-caps=-ipc_lock \
    "$TG_BIN" --send-path xdp "$TG_TMP/throughput.conf"
tg_expect_status 1
[[ $(cat "$TG_TMP/err") == "Nepodarilo se otevrit odesilani AF_XDP na rozhrani $TG_TX: "* &&
    $(wc -l <"$TG_TMP/err") -eq 1 ]] || tg_fail "refused AF_XDP path: $(cat "$TG_TMP/err")"
echo "PASS: a refused AF_XDP path asked for ends the run with one line"
