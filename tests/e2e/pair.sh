#!/bin/bash
# Runs on the direct veth pair of one namespace (tg_setup), one section per concern.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}" tc tcpdump python3

# ================================================================ throughput
# Throughput test (operation 1, examples/throughput.conf with its placeholders filled in) for
# half a second on a lossless veth pair: the one-cycle table layout, every frame that was sent
# arrives, delays are plausible, and no statistics tables follow. Then once more on the batched
# and on the AF_XDP send path: the same report, and the counts agree with the receiving veth's
# own; AF_XDP refused when asked for is an error.
examples=$TG_LIB_DIR/../../examples
# Run shorter than the files say: their keys are what is checked here.
shorter() { sed 's/^duration = .*/duration = 500000/' "$1"; }
shorter "$examples/throughput.conf" | tg_config "$TG_TMP/throughput.conf"

# Every path: every frame it counts as sent reached the receiving veth (its kernel counter,
# beside the program's figures) and was received.
for path in pcap batched xdp; do
    before=$(tg_rx_packets)
    tg_exec 60 "$TG_BIN" --send-path "$path" --json "$TG_TMP/$path.json" "$TG_TMP/throughput.conf"
    arrived=$(($(tg_rx_packets) - before))
    tg_expect_report 1 1
    # Back to back 1500-byte frames: even a slow machine sends thousands in half a second.
    tg_expect_lossless 1000 capture-drops
    tg_expect_plausible_delays 1000000
    tg_expect_no_handover_files
    read -r _ _ received sent _ throughput _ <<<"$(tg_rows)"
    # A stray frame of the kernel's own (neighbour discovery, say) may cross the veth as well.
    ((arrived >= sent && arrived <= sent + 10)) ||
        tg_fail "$path path: $sent frames reported sent, the receiving veth counted $arrived"
    # Throughput = bytes / time between first and last arrival: with N frames of 1500 bytes in at
    # most half a second it cannot be below N*1500 bytes per second.
    tg_num 't >= n * 1500 / 1048576 * 0.98 && t < 100000' t="$throughput" n="$received" ||
        tg_fail "$path path: throughput $throughput MB/s is not plausible for $received frames of 1500 bytes in 0.5 s"
    echo "PASS: $path path sent $sent frames, the receiving veth counted $arrived, $throughput MB/s"
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

# ================================================================ benchmark_frames
# A benchmark's frame sizes count the Ethernet check sequence, which the frames it hands to the
# interface do not carry: at 128 bytes every frame on the wire has 124. A short search (a low
# line rate, wide precision); the search itself is benchmark.sh's.
tg_write_config "$TG_TMP/bench.conf" 2 100000 1 - "0/constant 100/constant 1000"
tg_capture_start "$TG_TMP/bench.pcap"
tg_exec 60 "$TG_BIN" --benchmark --frame-sizes 128 --line-rate 10M --trial-duration 50000 \
    --final-duration 50000 --precision 50 --latency-loads 50 --learning-frames 0 "$TG_TMP/bench.conf"
tg_capture_stop
tg_expect_status 0
lengths=$(tcpdump -nn -e -r "$TG_TMP/bench.pcap" 2>/dev/null |
    awk '{ for (i = 1; i < NF; i++) if ($i == "length") { sub(/:$/, "", $(i + 1)); print $(i + 1); break } }' |
    sort -u | tr '\n' ' ')
[[ $lengths == "124 " ]] || tg_fail "128-byte benchmark frames on the wire are '$lengths' bytes long, expected 124"
echo "PASS: the benchmark's 128-byte frames are 124 bytes on the wire"

# ================================================================ tbf
# A token bucket (tbf, 20 Mbit/s, 50 ms of queue) on the sending end: the throughput test's
# measured throughput follows the bucket's rate, and the kernel refuses most frames of the
# full-speed run (pcap_sendpacket fails with ENOBUFS). The run must say so on standard error for
# the stream, naming the refused count, while the table keeps counting every frame handed to the
# library as sent, so it shows their loss.
ip netns exec "$TG_NS" tc qdisc add dev "$TG_TX" root tbf rate 20mbit burst 32kbit latency 50ms ||
    tg_fail "cannot add the tbf qdisc"
tg_write_config "$TG_TMP/tbf.conf" 1 1000000
tg_run "$TG_TMP/tbf.conf"
tg_expect_report 1 1
tg_expect_plausible_delays 1000000
tg_expect_no_handover_files

sent=$(tg_field 1 1 sent)
received=$(tg_field 1 1 received)
loss=$(tg_field 1 1 loss)
throughput=$(tg_field 1 1 throughput)
warning_re='^Varovani: tok 1 v cyklu 1: lokalni system odmitl odeslat ([0-9]+) paketu, zachytavani zahodilo ([0-9]+) paketu; ztraty nemusi byt jen na trase$'
[[ $(wc -l <"$TG_TMP/err") == 1 && $(<"$TG_TMP/err") =~ $warning_re ]] ||
    tg_fail "standard error is not the one refused-frames warning: '$(cat "$TG_TMP/err")'"
refused=${BASH_REMATCH[1]}
dropped=${BASH_REMATCH[2]}
# 20 Mbit/s for one second carries under 2000 frames of 1500 bytes; a full-speed sender offers
# far more, so nearly all of them must have been refused.
((received > 100 && received < 2000)) || tg_fail "received $received frames through a 20 Mbit/s bucket in 1 s"
((refused > 10 * received)) || tg_fail "only $refused frames refused, $received received"
((dropped == 0)) || tg_fail "the capture dropped $dropped frames at 20 Mbit/s"
# Refused frames stay counted as sent: the table's loss is the share that did not arrive.
((sent == received + refused)) ||
    tg_fail "sent $sent is not received $received + refused $refused (a frame the bucket accepted got lost?)"
expected_loss=$(awk -v s="$sent" -v r="$received" 'BEGIN { printf "%.3g", (s - r) / s * 100 }')
[[ $loss == "$expected_loss" ]] || tg_fail "loss printed as $loss, expected $expected_loss"
# The bucket never lets more through than its rate (its 4000-byte burst is noise over
# 1 s), so a reading even slightly above it is wrong, e.g. 10^6 bytes taken for a MB;
# a loaded machine can serve the bucket late and measure a little less.
expected=$(awk 'BEGIN { printf "%.3f", 20000000 / 8 / 1048576 }')
tg_num 't >= e * 0.9 && t <= e * 1.025' t="$throughput" e="$expected" ||
    tg_fail "throughput $throughput MB/s does not follow the bucket's $expected MB/s"
echo "PASS: tbf at $expected MB/s measured $throughput MB/s, loss $loss % ($received of $sent, $refused refused)"
tc -n "$TG_NS" qdisc del dev "$TG_TX" root

# ================================================================ missing_interfaces
# Interfaces that do not exist: the receiving one fails when it is opened for capture, before
# the table, with its message on standard error and exit status 1. The batched send path does
# not fall back to libpcap: it says it cannot open and stops before the table. (A missing
# sending interface of the libpcap path is the engine tests'.)
missing="tgnone$$"
tg_write_config "$TG_TMP/no-receiving.conf" 1 200000
sed -i "s/^receiving interface = .*/receiving interface = $missing/" "$TG_TMP/no-receiving.conf"
tg_run "$TG_TMP/no-receiving.conf"
tg_expect_status 1
[[ $(cat "$TG_TMP/err") == "Nepodarilo se otevrit prijimaci zarizeni $missing: "?* && ! -s $TG_TMP/out ]] ||
    tg_fail "missing receiving interface: wrong message or output"
tg_write_config "$TG_TMP/no-batch.conf" 1 200000
sed -i "s/^sending interface = .*/sending interface = $missing/" "$TG_TMP/no-batch.conf"
tg_exec 60 "$TG_BIN" --send-path batched "$TG_TMP/no-batch.conf"
tg_expect_status 1
[[ $(cat "$TG_TMP/err") == "Nepodarilo se otevrit davkove odesilani na rozhrani $missing: No such device" &&
    ! -s $TG_TMP/out ]] || tg_fail "batched path on a missing interface: wrong message or output"
echo "PASS: missing interfaces are reported with exit status 1"

# ================================================================ wire_format
# The frames on the wire, captured independently with tcpdump on the receiving
# end and decoded field by field (pcapcheck.py): addresses, protocol fields,
# checksums, TOS per stream, lengths with the clamping to 59..1500 bytes, stream
# letter, filler and send time, on the libpcap and the AF_XDP send path. The
# capture's per-stream counts must equal what the program reports as received
# (and sent, on the lossless pair). The source
# address is the sending interface's own; a second short run sets it with the
# `source MAC` key. Then the departures themselves: with `pacing = absolute` the
# gaps on the wire keep the drawn mean (what a seed repeats is the unit tests').
capture=$TG_TMP/wire.pcap

# Runs the program with OPTIONS on CONF while tcpdump captures the receiving end
# into $capture; sets start and end (wall-clock seconds around the run).
captured_run() { # CONF [OPTIONS...]
    tg_capture_start "$capture"
    start=$(date +%s.%N)
    tg_exec 60 "$TG_BIN" "${@:2}" "$1"
    end=$(date +%s.%N)
    tg_capture_stop
}

# Stream 1 draws sizes from 0..1999, so both clampings happen; stream 2 has fixed
# 60-byte frames (one above the minimum), stream 3 fixed 1500-byte ones.
# The same frames on both send paths.
tg_write_config "$TG_TMP/wire.conf" 2 500000 1 - "0/uniform 1000/constant 1000" "184/constant 60/constant 1000" \
    "255/constant 1500/constant 2000"
for path in pcap xdp; do
    captured_run "$TG_TMP/wire.conf" --send-path "$path"
    tg_expect_report 1 3
    tg_expect_lossless 100
    tg_expect_plausible_delays 1000000
    tg_expect_quiet_stderr
    counts=$(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" --src-mac "$TG_TX_MAC" --src "$TG_TX_IP" \
        --dst "$TG_RX_IP" --tos 0,184,255 --start "$start" --end "$end" \
        --size 2=60 --size 3=1500 --clamped 1) || tg_fail "$path: the frames on the wire are not as specified"
    while read -r stream count; do
        received=$(tg_field 1 "$stream" received)
        ((count == received)) ||
            tg_fail "$path: stream $stream: tcpdump saw $count frames, the program reports $received received"
        echo "$path: stream $stream: $count frames on the wire, $received reported"
    done <<<"$counts"
done

# Numbered frames: each stream's numbers 0, 1, 2, ... in order on the lossless pair, right
# after the send time; a frame too short for its number grows to 63 bytes (stream 1's
# clamping, stream 2's 60 bytes). Their source address is the all-zero one of the `source MAC`
# key, as a device's source-address rules would see it.
tg_write_config "$TG_TMP/numbered.conf" 2 500000 1 - "0/uniform 1000/constant 1000" "184/constant 60/constant 1000"
tg_config_key "$TG_TMP/numbered.conf" "source MAC" 00:00:00:00:00:00
captured_run "$TG_TMP/numbered.conf" --sequence-numbers
tg_expect_report 1 2
tg_expect_lossless 100
tg_expect_quiet_stderr
counts=$(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" --src-mac 00:00:00:00:00:00 --src "$TG_TX_IP" \
    --dst "$TG_RX_IP" --tos 0,184 --start "$start" --end "$end" --size 2=63 --clamped 1 --sequence) ||
    tg_fail "the numbered frames on the wire are not as specified"
while read -r cycle stream frames distinct duplicates reordered extent numbered; do
    received=$(tg_field 1 "$stream" received)
    [[ $cycle == 1 && $frames == "$received" && $distinct == "$received" && $numbered == "$received" &&
        $duplicates == 0 && $reordered == 0 ]] ||
        tg_fail "stream $stream: on the wire '$cycle $frames $distinct $duplicates $reordered $extent $numbered', $received received"
done <<<"$counts"
echo "PASS: numbered frames carry 0..n-1 in order: $(tr '\n' ';' <<<"$counts")"

echo "PASS: every frame on the wire is a well-formed test frame, from $TG_TX_MAC or the configured source"

# Absolute pacing: 200 us apart on average over 0.5 s, as the capture sees the frames. A busy
# machine can stall the sender for longer than its schedule may catch up on; it then restarts
# the schedule and must say so, with the mean gap the wire shows. Three such tries in a row
# leave the precision unchecked on this machine (the schedule's arithmetic has its unit tests),
# but a mean off by more than 2 % without a restart is a fault. The results file must give the
# wire's mean gap, the drawn one and the restarts as the warning does.
tg_write_config "$TG_TMP/paced.conf" 2 500000 1 - "0/constant 100/constant 200"
tg_config_key "$TG_TMP/paced.conf" pacing absolute
for try in 1 2 3; do
    captured_run "$TG_TMP/paced.conf" --json "$TG_TMP/paced.json"
    tg_expect_report 1 1
    read -r _ count mean < <(python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --mac "$TG_RX_MAC" \
        --src-mac "$TG_TX_MAC" --src "$TG_TX_IP" --dst "$TG_RX_IP" --tos 0 --start "$start" --end "$end" --gaps) ||
        tg_fail "the paced frames are not as specified"
    read -r pacing offered drawn restarts < <(python3 -c 'import json, sys
d = json.load(open(sys.argv[1])); o = d["cycles"][0]["streams"][0]["offered"]
print(d["test"]["pacing"], o["mean_gap_us"], o["drawn_mean_gap_us"], o["restarts"])' "$TG_TMP/paced.json")
    [[ $pacing == absolute && $drawn == 200.0 ]] || tg_fail "results file: pacing $pacing, drawn mean gap $drawn us"
    tg_num 'abs(o / m - 1) <= 0.01' o="$offered" m="$mean" ||
        tg_fail "results file: mean gap $offered us, the wire shows $mean us"
    if tg_num 'abs(m / 200 - 1) <= 0.02' m="$mean"; then
        echo "PASS: absolute pacing, $count frames $mean us apart on average (200 us drawn)"
        break
    fi
    read -r reported warned < <(sed -n 's/^Varovani: tok 1 v cyklu 1: rozvrh odesilani nedodrzen: prumerna mezera \([0-9.]*\) us misto vylosovanych 200.000 us, rozvrh znovu zahajen \([0-9]*\)x$/\1 \2/p' "$TG_TMP/err") ||
        tg_fail "absolute pacing: mean gap $mean us on the wire, 200 us drawn, and no warning"
    ((warned == restarts && restarts > 0)) ||
        tg_fail "absolute pacing: mean gap $mean us on the wire with $warned restarts warned, $restarts in the results file"
    tg_num 'abs(r / m - 1) <= 0.01' r="$reported" m="$mean" ||
        tg_fail "absolute pacing: the warning says $reported us, the wire shows $mean us"
    tg_log "note: try $try: $restarts stalls made the sender restart its schedule ($mean us), machine busy?"
    ((try < 3)) || echo "PASS: absolute pacing warned truthfully three times; its precision is unchecked on this busy machine"
done

# Tags, IPv6 and flows, every frame decoded (pcapcheck.py --headers) and its checksums checked:
# stream 1 under VLAN 10 with priority 5; stream 2 IPv6 under an 802.1ad tag (VLAN 300,
# priority 3) and VLAN 20, traffic class from its TOS, flow label 12345, hop limit 255, its
# flows in order (source ports 1000-1003 fastest, then destination ports 40000-40001, then three
# destination addresses from the receiving end's); stream 3 over 4 x 4 flows in a random order
# (that a seed repeats it is the unit tests'). Every frame is counted, tagged, as the capture
# shows, and gets the kernel's send stamp.
tg_ipv6_address "$TG_TX" fd00:77::1
tg_ipv6_address "$TG_RX" fd00:77::2
tg_write_config "$TG_TMP/frames.conf" 2 500000 1 - "8/constant 1000/constant 2000" \
    "184/constant 200/constant 2000" "0/constant 100/constant 2000"
tg_stream_key "$TG_TMP/frames.conf" 1 "VLAN ID" 10
tg_stream_key "$TG_TMP/frames.conf" 1 "VLAN priority" 5
for key in "VLAN ID=20" "outer VLAN ID=300" "outer VLAN priority=3" "IP version=6" "flow label=12345" \
    "source ports=1000-1003" "destination ports=40000-40001" "destination IP count=3"; do
    tg_stream_key "$TG_TMP/frames.conf" 2 "${key%%=*}" "${key#*=}"
done
for key in "source ports=5000-5003" "source IP count=4" "flow order=random"; do
    tg_stream_key "$TG_TMP/frames.conf" 3 "${key%%=*}" "${key#*=}"
done
tg_capture_start "$capture" "$TG_RX" "udp or (vlan and (udp or (vlan and udp)))"
tg_exec 60 "$TG_BIN" --sequence-numbers --seed 9 --stamp-source kernel --json "$TG_TMP/frames.json" \
    "$TG_TMP/frames.conf"
tg_capture_stop
tg_expect_status 0
tg_expect_lossless 50
python3 "$TG_LIB_DIR/pcapcheck.py" "$capture" --headers >"$TG_TMP/headers" ||
    tg_fail "the tagged and IPv6 frames are not well formed"
python3 - "$TG_TMP/headers" "$TG_TX_IP" "$TG_RX_IP" "$TG_TMP/frames.json" <<'PY' || tg_fail "the frames' headers are not as configured"
import ipaddress, json, sys
frames = [line.split() for line in open(sys.argv[1])]
tx, rx = sys.argv[2], sys.argv[3]
counts = {}
for stream, number, tags, version, klass, label, hops, src, sport, dst, dport in frames:
    stream, k = int(stream), int(number)
    counts[stream] = counts.get(stream, 0) + 1
    if stream == 1:
        want = ("8100/5/10", "4", "8", "-", "255", tx, "33333", rx, "33333")
    elif stream == 2:
        want = ("88a8/3/300,8100/0/20", "6", "184", "12345", "255", "fd00:77::1", str(1000 + k % 4),
                str(ipaddress.ip_address("fd00:77::2") + k // 8 % 3), str(40000 + k // 4 % 2))
    else:
        assert 5000 <= int(sport) <= 5003 and int(ipaddress.ip_address(src)) - int(ipaddress.ip_address(tx)) in range(4), (sport, src)
        want = ("-", "4", "0", "-", "255", src, sport, rx, "33333")
    got = (tags, version, klass, label, hops, src, sport, dst, dport)
    assert got == want, "stream %d frame %d: %s, expected %s" % (stream, k, got, want)
flows3 = {(f[7], f[8]) for f in frames if f[0] == "3"}
assert len(flows3) == 16, "stream 3 reached %d of its 16 flows" % len(flows3)
for s in json.load(open(sys.argv[4]))["cycles"][0]["streams"]:
    tagged = s["stream"] in (1, 2)
    assert counts[s["stream"]] == s["received"], "stream %d: %d captured, %d received" % (s["stream"], counts[s["stream"]], s["received"])
    assert (s.get("received_tagged"), s.get("received_untagged")) == ((s["received"], 0) if tagged else (None, None)), s
    stamps = s["send_stamps"]
    assert (stamps["expected"], stamps["missing"]) == (s["received"], 0), "stream %d: kernel stamps %s" % (s["stream"], stamps)
print("; ".join("stream %d: %d frames" % item for item in sorted(counts.items())))
PY
echo "PASS: tags, priorities, IPv6 headers and flows on the wire as configured, counted as tagged"

# ================================================================ loss_delay
# Loss-and-delay test (operation 2, examples/loss-delay.conf, shorter): three streams with their
# own TOS, size and time distributions, three cycles. Rows for every cycle and stream in order,
# nothing lost on the veth pair, plausible delays, and both statistics tables (their figures
# are the unit tests'); on a terminal a progress line that leaves the report as it is.
# The first run writes a results file (--json): every figure in it must be the tables'
# (resultscheck.py), and its delays, percentiles and jitter must agree with the frames
# tcpdump captured meanwhile on both ends of the pair. With the kernel's send stamps the delays
# and the sender's lag agree with tcpdump's nanosecond stamps. A stream of
# 64 flows arrives spread over the receive queues of a multi-queue veth pair, where one flow
# keeps to one queue.
shorter "$examples/loss-delay.conf" | tg_config "$TG_TMP/loss-delay.conf"

tg_capture_start "$TG_TMP/loss-delay.pcap"
tg_capture_start "$TG_TMP/loss-delay-sent.pcap" "$TG_TX"
tg_exec 60 "$TG_BIN" --json "$TG_TMP/results.json" "$TG_TMP/loss-delay.conf"
tg_capture_stop
tg_expect_report 3 3 0.9500
# One frame per millisecond at most: a few hundred per second even on a busy machine.
tg_expect_lossless 100
tg_expect_plausible_delays 1000000
tg_expect_no_handover_files
tg_expect_quiet_stderr

# A constant gap of 1000 us plus the send cost: no more than 500 frames in half a second.
for cycle in 1 2 3; do
    sent=$(tg_field "$cycle" 1 sent)
    ((sent <= 500)) || tg_fail "cycle $cycle, stream 1 sent $sent frames with 1000 us gaps in 0.5 s"
done
# Nothing lost in any cycle: every loss statistic is 0 with the interval <0.000, 0.000>.
zero=$(awk '/^Statistika ztrat$/, /^$/' "$TG_TMP/out" | grep -cE '^\| +[123] \| +0 \| +0 \| +0 \| +<0\.000, 0\.000> \|$' || true)
((zero == 3)) || tg_fail "$zero of 3 streams' loss statistics are all zero: $(cat "$TG_TMP/out")"
python3 "$TG_LIB_DIR/resultscheck.py" "$TG_TMP/results.json" "$TG_TMP/out" \
    --capture "$TG_TMP/loss-delay.pcap" --sent-capture "$TG_TMP/loss-delay-sent.pcap" || tg_fail "the results file disagrees with the tables or the capture"
[[ $(stat -c %a "$TG_TMP/results.json") == 644 ]] || tg_fail "the results file is not mode 644"

# With the kernel's send stamps, on the batched path: the delays from leaving the sending
# interface to arriving, and the sender's lag behind the kernel's stamp, as tcpdump's nanosecond
# stamps of both ends give them for the same frames. (That the libpcap path's frames get their
# stamps is checked with the tags above, AF_XDP's with the benchmark's latency.) Hardware stamps
# are asked for: a veth has none, which the run says before it takes the kernel's.
tg_write_config "$TG_TMP/kernel.conf" 2 500000 1 - "0/constant 1000/constant 1000"
tg_capture_start "$TG_TMP/kernel-rx.pcap" "$TG_RX" "udp dst port 33333" nano
tg_capture_start "$TG_TMP/kernel-tx.pcap" "$TG_TX" "udp dst port 33333" nano
tg_exec 60 "$TG_BIN" --stamp-source hardware --send-path batched --json "$TG_TMP/kernel.json" "$TG_TMP/kernel.conf"
tg_capture_stop
tg_expect_status 0
[[ $(cat "$TG_TMP/err") == "Hardwarove casove znacky nelze pouzit ($TG_TX neumi hardwarove znacky odeslanych paketu): zpozdeni meri znacky jadra (kernel)" ]] ||
    tg_fail "no line on why the kernel's stamps stand in for hardware ones: $(cat "$TG_TMP/err")"
grep -q '^Znacky odeslani: tok 1 v cyklu 1: kernel, znacen kazdy 1\. paket, chybi 0 z ' "$TG_TMP/out" ||
    tg_fail "no line on the kernel's send stamps: $(cat "$TG_TMP/out")"
python3 "$TG_LIB_DIR/resultscheck.py" "$TG_TMP/kernel.json" "$TG_TMP/out" --kernel-stamps \
    --capture "$TG_TMP/kernel-rx.pcap" --sent-capture "$TG_TMP/kernel-tx.pcap" ||
    tg_fail "the kernel-stamped delays disagree with tcpdump's"

# On a terminal, standard error shows a progress line during every cycle, drawn a few times a
# second and wiped before the cycle's rows: standard output stays the same report.
tg_write_config "$TG_TMP/tty.conf" 2 1000000 2 0.95 "0/constant 1000/constant 1000" \
    "184/normal 800 200/constant 1000" "46/constant 200/exponential 2000"
tg_run_tty stderr "$TG_TMP/tty.conf"
tg_expect_report 2 3 0.9500
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
((cycle == 2)) || tg_fail "progress shown for $cycle cycles, expected 2"
# Both on one terminal: the screen shows exactly the report, no trace of the progress line.
sed -i 's/^duration = .*/duration = 300000/' "$TG_TMP/tty.conf"
tg_run_tty both "$TG_TMP/tty.conf"
tg_expect_status 0
tg_check_layout 2 3 0.9500 "$TG_TMP/screen"

# Flows: a second veth pair with four queues each way, whose receiving end's queues each count
# what they took (GRO on, so that veth passes every frame through its per-queue NAPI; TSO off on
# the sending end, which veth asks for it). A stream over 64 flows (source ports 10000-10063) on
# the batched path, which builds every frame of a flow anew, is spread over all four, each flow on
# the queue its hash picks: every queue gets at least 5 % (about 16 flows each; fewer than 4 on
# one queue happens once in 10^5 boots' hash seeds), and together they took every frame.
if command -v ethtool >/dev/null; then
    net=$((($$ + 50) % 250 + 1))
    ip -n "$TG_NS" link add tgqs$$ numtxqueues 4 numrxqueues 4 type veth peer name tgqr$$ \
        numtxqueues 4 numrxqueues 4 || tg_fail "cannot create the multi-queue veth pair"
    ip netns exec "$TG_NS" ethtool -K tgqr$$ gro on rx-udp-gro-forwarding on >/dev/null &&
        ip netns exec "$TG_NS" ethtool -K tgqs$$ tso off gso off >/dev/null ||
        tg_fail "cannot set the multi-queue pair's offloads"
    TG_TX=tgqs$$ TG_RX=tgqr$$ TG_TX_IP=10.83.$net.1 TG_RX_IP=10.83.$net.2 tg_ends_up
    queues() { ip netns exec "$TG_NS" ethtool -S tgqr$$ | awk '/rx_queue_[0-9]+_xdp_packets/ { print $2 }'; }
    TG_TX=tgqs$$ TG_RX=tgqr$$ TG_RX_MAC=$(tg_mac_of tgqr$$) tg_write_config "$TG_TMP/flows.conf" 2 500000 1 - \
        "0/constant 100/constant 500"
    tg_stream_key "$TG_TMP/flows.conf" 1 "source ports" 10000-10063
    queues >"$TG_TMP/queues.before"
    tg_exec 60 "$TG_BIN" --send-path batched "$TG_TMP/flows.conf"
    tg_expect_lossless 100
    total=$(tg_field 1 1 received)
    spread=$(queues | paste -d ' ' "$TG_TMP/queues.before" - | awk '{ printf "%d ", $2 - $1 }')
    awk -v total="$total" '{ low = NF != 4; for (q = 1; q <= NF; q++) { sum += $q; low = low || $q * 20 < total } }
        END { exit low || sum != total }' \
        <<<"$spread" || tg_fail "64 flows: the receive queues took $spread of the $total frames received"
    echo "source ports 10000-10063: $total frames over the receive queues as $spread"
else
    tg_log "note: ethtool missing, the spread of flows over receive queues is not checked"
fi

echo "PASS: 3 streams x 3 cycles, lossless, results file agrees, kernel send stamps agree with tcpdump, progress on a terminal, flows spread over queues"

# ================================================================ interrupt
# SIGINT in the middle of a five-cycle run, sent to the whole process group as a
# terminal's interrupt key would: the senders of cycle 2 stop, cycles 3 to 5 still
# run but send nothing, all five cycles and both statistics tables are printed,
# the exit status is 0 and no hand-over file nor the run's private directory for them is left
# behind, and the results file (--json) is written too, marked as interrupted, with the same
# five cycles. SIGTERM to the program alone, in cycle 2 of 200: the same, with its sender
# stopped by the program and the 198 cycles left printed at once. Then one run per receiving
# interface (see that section).
# The rows of a run signalled in cycle 2: cycle 1 complete (at least MIN frames) and cycle 2 cut
# short (under 80 % of cycle 1), both lossless; every later cycle empty (nothing sent, no loss,
# the delays of no frame).
expect_cut_in_cycle_2() { # MIN WHAT
    local bad
    bad=$(tg_rows | awk -v min="$1" '$1 == 1 { full[$2] = $4 }
        $1 <= 2 && ($3 != $4 || $4 < ($1 == 1 ? min : 1) || $1 == 2 && $4 >= full[$2] * 0.8) ||
        $1 >= 3 && ($3 != 0 || $4 != 0 || $5 != 0 || $7 != 4294967295 || $8 != 0)')
    [[ -z $bad ]] || tg_fail "$2: rows not complete in cycle 1, cut short in 2, empty after: $bad"
}
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

expect_cut_in_cycle_2 100 "SIGINT to the group"
# The statistics cover the two cycles that captured frames.
for stream in 1 2; do
    read -r lowest highest < <(awk -F'|' -v s="$stream" '/^Statistika zpozdeni$/ { t = 1 } t && $2 == s { print $3 + 0, $4 + 0 }' "$TG_TMP/out")
    [[ "$lowest $highest" == "$(tg_rows | awk -v s="$stream" '$2 == s && $1 <= 2 { if (lo == "" || $7 < lo) lo = $7; if ($8 > hi) hi = $8 } END { print lo, hi }')" ]] ||
        tg_fail "stream $stream: delay statistics $lowest..$highest are not those of cycles 1 and 2"
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
expect_cut_in_cycle_2 500 SIGTERM
python3 "$TG_LIB_DIR/resultscheck.py" --interrupted "$TG_TMP/term.json" "$TG_TMP/out" ||
    tg_fail "the results file of the run ended by SIGTERM disagrees with its tables"
echo "ok: SIGTERM in cycle 2 of 200: its sender stopped, all 200 cycles, both tables and the results file"

# ---- one run per receiving interface, in each network namespace
# A second run whose receiving interface a running trafficgen captures on ends before it sends
# anything; a run on another interface, and one in another namespace with interfaces of the
# same names, go ahead; a run killed with SIGKILL leaves nothing that refuses the next one,
# not even its sender that lives on.
net=$(($$ % 250 + 1))
tg_write_config "$TG_TMP/long.conf" 2 2000000 1 - "0/constant 1000/constant 2000"
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
