#!/bin/bash
# The device benchmark (--benchmark), its final trials 2 s long:
#   through the emulated device, an htb shaper of 5000 kbit/s with a short queue and a small
#       burst, the line rate 1 Gbit/s (the shaper below 1 % of it), 512-byte frames:
#       the non-drop rate lies within -1.5 ... +0.5 % of the shaper's frame rate
#       (rate / (8 x frame length without the check sequence), as htb counts it), the
#       partial-drop rate is not below it, the delay at 50 % of it is close to the delay at
#       10 % (an idle shaper);
#   the same shaper with an nftables rule dropping 1 frame in 1000 at random on the way in
#       (numgen random), 512-byte frames: no rate is limited by the line or the tester, every
#       interval has lower < upper and is no wider than its goal (2 % at most), the partial-drop
#       rate lies within -2 ... +1 % of the shaper's frame rate;
#   an unshaped device behind a tester whose own sending interface is shaped (htb, 40 Mbit/s,
#       a short queue), frames on the batched path (AF_XDP would pass by that queue), final
#       trials of 1 s, one of them deciding: the non-drop rate is the tester's clean rate
#       within 10 %, limited by the tester;
#   on the direct pair nothing limits but the tester (64-byte frames, far below the line
#       rate): the benchmark names the tester as the limit, at a rate close to a flood of
#       such frames (a ratio within one run: the machine may be shared); a progress line per
#       trial on a terminal; an interrupt ends the benchmark with its tables and the results
#       file; AF_XDP refused, it falls back to the batched path with one line on standard
#       error and a note in the results file.
#   through a router (IPv4 and IPv6, next hop found by ARP and neighbour discovery): the
#       loss-and-delay test loses nothing, the benchmark finds a rate for each.
source "$(dirname "$0")/lib.bash"
tg_init "${1:-}"
for tool in tc python3 chrt; do
    command -v "$tool" >/dev/null || tg_fail "required tool '$tool' is missing"
done
tg_device_up
began=$SECONDS

# Prints "frame_size ndr_lower ndr_upper ndr_limit pdr_lower pdr_upper pdr_limit p50@10% p50@50%
# line_rate_fps trials search_s ndr_width pdr_width ndr_goal_width pdr_goal_width complete" per
# frame size of the results file JSON.
sizes_of() {
    python3 - "$1" <<'EOF'
import json, sys
document = json.load(open(sys.argv[1]))
for size in document["benchmark"]["sizes"]:
    p50 = {entry["load_percent"]: entry["delay_us"]["p50"] for entry in size["latency"]}
    ndr, pdr = size["ndr"], size["pdr"]
    print(size["frame_size"], ndr["lower_fps"], ndr["upper_fps"], ndr["limited_by"].replace(" ", "_"),
          pdr["lower_fps"], pdr["upper_fps"], pdr["limited_by"].replace(" ", "_"),
          p50.get(10, "none"), p50.get(50, "none"), size["line_rate_fps"], len(size["trials"]),
          round(ndr["search_time_s"], 1), ndr["width_percent"], pdr["width_percent"],
          ndr["goal"]["width_percent"], pdr["goal"]["width_percent"],
          int(ndr["complete"] and pdr["complete"]))
EOF
}

# The benchmark of CONFIG with JSON into FILE and the options given: final trials of 2 s.
shaped_benchmark() { # FILE CONFIG OPTION...
    local file=$1 config=$2
    shift 2
    tg_exec 280 "$TG_BIN" --benchmark --trial-duration 200000 --final-duration 2000000 \
        --json "$file" "$@" "$config"
    tg_expect_status 0
    grep -q '^| NDR  ' "$TG_TMP/out" || tg_fail "no rate table"
    grep -q '^NDR: cil ztratovost 0.000 %' "$TG_TMP/out" || tg_fail "no line of the NDR's goal"
}

# Every interval is sound: lower < upper, no wider than its goal, found to the end.
check_intervals() { # WHAT NDR_LOW NDR_UP PDR_LOW PDR_UP NDR_WIDTH PDR_WIDTH NDR_GOAL PDR_GOAL COMPLETE
    tg_num 'nl < nu && pl < pu && nw <= ng && pw <= pg && ng <= 2 && pg <= 2 && c == 1' \
        nl="$2" nu="$3" pl="$4" pu="$5" nw="$6" pw="$7" ng="$8" pg="$9" c="${10}" ||
        tg_fail "$1: NDR $2..$3 (width $6 %), PDR $4..$5 (width $7 %), goal widths $8 %, $9 %, complete ${10}"
}

start=$SECONDS
rate=5000
tg_device_shaper "$rate" 100 4 1600
tg_write_config "$TG_TMP/shaped.conf" 1 1000000
shaped_benchmark "$TG_TMP/shaped.json" "$TG_TMP/shaped.conf" --frame-sizes 512 \
    --line-rate 1G --latency-loads 10,50
while read -r size ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_idle p50_half line_fps \
    trials seconds ndr_width pdr_width ndr_goal pdr_goal complete; do
    shaper=$(awk -v r="$rate" -v s="$size" 'BEGIN { printf "%.1f", r * 1000 / (8 * (s - 4)) }')
    tg_num 'l == int(1e9 / (8 * (s + 20)))' l="$line_fps" s="$size" ||
        tg_fail "$size B: line rate $line_fps frames/s"
    tg_num 'f < 0.01 * l' f="$shaper" l="$line_fps" || tg_fail "$size B: the shaper is not below 1 % of the line"
    check_intervals "$size B" "$ndr_low" "$ndr_up" "$pdr_low" "$pdr_up" "$ndr_width" "$pdr_width" \
        "$ndr_goal" "$pdr_goal" "$complete"
    [[ $ndr_limit == device ]] || tg_fail "$size B: the NDR was limited by '$ndr_limit'"
    tg_num 'n >= 0.985 * f && n <= 1.005 * f' n="$ndr_low" f="$shaper" ||
        tg_fail "$rate kbit/s, $size B: NDR $ndr_low frames/s, the shaper passes $shaper"
    tg_num 'p >= n && u >= f' p="$pdr_low" u="$pdr_up" n="$ndr_low" f="$shaper" ||
        tg_fail "$rate kbit/s, $size B: PDR $pdr_low..$pdr_up frames/s below the shaper's $shaper"
    [[ $p50_idle != none && $p50_half != none ]] || tg_fail "$size B: no latency measured"
    tg_num 'h <= 2 * i + 100' h="$p50_half" i="$p50_idle" ||
        tg_fail "$rate kbit/s, $size B: median delay $p50_half us at 50 % of NDR, $p50_idle us at 10 %"
    echo "htb $rate kbit/s, $size B: shaper $shaper frames/s, NDR $ndr_low..$ndr_up, PDR $pdr_low..$pdr_up," \
        "p50 $p50_idle us at 10 %, $p50_half us at 50 %, $trials trials, search $seconds s"
done < <(sizes_of "$TG_TMP/shaped.json")
echo "shaped device: $((SECONDS - start)) s"

# --- The same shaper, and 1 frame in 1000 dropped at random on the way in.
start=$SECONDS
tg_device_impair 1 0
shaped_benchmark "$TG_TMP/noisy.json" "$TG_TMP/shaped.conf" --frame-sizes 512 \
    --line-rate "$((2 * rate))k" --latency-loads 50
read -r size ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_idle p50_half line_fps \
    trials seconds ndr_width pdr_width ndr_goal pdr_goal complete <<<"$(sizes_of "$TG_TMP/noisy.json")"
read -r dropped _ <<<"$(tg_device_impairments)"
((dropped > 0)) || tg_fail "the random rule dropped nothing"
shaper=$(awk -v r="$rate" -v s="$size" 'BEGIN { printf "%.1f", r * 1000 / (8 * (s - 4)) }')
[[ $ndr_limit == device && $pdr_limit == device ]] ||
    tg_fail "random drops: the rates were limited by '$ndr_limit' and '$pdr_limit', not the device"
check_intervals "random drops" "$ndr_low" "$ndr_up" "$pdr_low" "$pdr_up" "$ndr_width" "$pdr_width" \
    "$ndr_goal" "$pdr_goal" "$complete"
tg_num 'p >= 0.98 * f && p <= 1.01 * f' p="$pdr_low" f="$shaper" ||
    tg_fail "random drops: PDR $pdr_low frames/s, the shaper passes $shaper"
echo "htb $rate kbit/s and 1 in 1000 dropped, $size B: shaper $shaper frames/s, NDR $ndr_low..$ndr_up," \
    "PDR $pdr_low..$pdr_up (width $pdr_width %), $dropped dropped by the rule, $trials trials," \
    "search $seconds s ($((SECONDS - start)) s)"
ip netns exec "$TG_DEV_NS" nft delete table netdev tgimpair

# --- The tester's own sending interface shaped, the device not: the tester is the limit. The
# frames take the batched path, through the sending interface's queue disciplines (AF_XDP
# passes them by, and the shaper with them).
start=$SECONDS
ip netns exec "$TG_DEV_NS" tc qdisc del dev "$TG_DEV_OUT" root
tester_tc=(ip netns exec "$TG_NS" tc)
"${tester_tc[@]}" qdisc add dev "$TG_TX" root handle 1: htb default 1 &&
    "${tester_tc[@]}" class add dev "$TG_TX" parent 1: classid 1:1 htb rate 40mbit ceil 40mbit \
        quantum 1514 &&
    "${tester_tc[@]}" qdisc add dev "$TG_TX" parent 1:1 handle 10: pfifo limit 16 ||
    tg_fail "cannot shape the tester's own sending interface"
shaped_benchmark "$TG_TMP/tester.json" "$TG_TMP/shaped.conf" --frame-sizes 1024 \
    --line-rate 100M --latency-loads 50 --send-path batched --final-duration 1000000 \
    --duration-sum 1000000
read -r size ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_idle p50_half line_fps \
    trials seconds _ <<<"$(sizes_of "$TG_TMP/tester.json")"
clean=$(awk 'BEGIN { printf "%.1f", 40e6 / (8 * 1020) }')
[[ $ndr_limit == tester ]] || tg_fail "tester shaped: the NDR was limited by '$ndr_limit', not the tester"
grep -q '^NDR: omezenim byl tester, ne zarizeni: ' "$TG_TMP/out" || tg_fail "the tester is not named as the limit"
tg_num 'n >= 0.9 * c && n <= 1.1 * c' n="$ndr_low" c="$clean" ||
    tg_fail "tester shaped: NDR $ndr_low frames/s, the tester's clean rate $clean"
echo "tester shaped to 40 Mbit/s, $size B: clean rate $clean frames/s, NDR $ndr_low..$ndr_up" \
    "($ndr_limit), $trials trials, search $seconds s ($((SECONDS - start)) s)"
"${tester_tc[@]}" qdisc del dev "$TG_TX" root

# --- The direct pair: a second veth pair in the ends' namespace, no device between.
net=$((($$ + 100) % 250 + 1))
tg_more_pair "$TG_NS" "tgds$$" "tgdr$$" "10.78.$net"
TG_TX=tgds$$ TG_RX=tgdr$$ TG_RX_MAC=$TG_MORE_RX_MAC tg_write_config "$TG_TMP/direct.conf" 1 1000000
# The benchmark's senders use the AF_XDP path at real-time priority: the 64-byte flood it is
# compared with runs the same way, so the ratio does not depend on what else the machine runs.
# (With 1500-byte frames AF_XDP reaches the 10 Gbit/s veth reports: the line, not the tester.)
TG_TX=tgds$$ TG_RX=tgdr$$ TG_RX_MAC=$TG_MORE_RX_MAC tg_write_config "$TG_TMP/flood.conf" 2 1000000 1 - \
    "0/constant 60/constant 0"
tg_exec 60 chrt -f 1 "$TG_BIN" --send-path xdp "$TG_TMP/flood.conf"
tg_expect_status 0
throughput_fps=$(tg_field 1 1 sent)
tg_exec 60 chrt -f 1 "$TG_BIN" --send-path xdp --json "$TG_TMP/throughput.json" "$TG_TMP/direct.conf"
tg_expect_status 0
tg_exec 120 python3 "$TG_LIB_DIR/pty_run.py" run stderr "$TG_TMP/tty" "$TG_BIN" --benchmark \
    --frame-sizes 64 --trial-duration 300000 --final-duration 300000 --latency-loads 50 \
    --json "$TG_TMP/direct.json" "$TG_TMP/direct.conf"
tg_expect_status 0
read -r size ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_idle p50_half line_fps trials \
    _ <<<"$(sizes_of "$TG_TMP/direct.json")"
[[ $ndr_limit == tester ]] || tg_fail "direct pair: the NDR was limited by '$ndr_limit', not the tester"
grep -q '^NDR: omezenim byl tester, ne zarizeni: ' "$TG_TMP/out" || tg_fail "the tester is not named as the limit"
tg_num 'n >= 0.3 * t && n <= 1.5 * t' n="$ndr_low" t="$throughput_fps" ||
    tg_fail "direct pair: the tester's ceiling $ndr_low frames/s, the 64-byte flood sent $throughput_fps"
# veth may or may not tell its speed: the load is a rate (with its share of the line) or the
# probe's "maximalni".
progress_lines=$(grep -c 'Ramec 64 B: zatizeni [0-9a-z]* .*, pokus [0-9]* -> odeslano' "$TG_TMP/tty" || true)
((progress_lines == trials)) || tg_fail "$progress_lines progress lines for $trials trials"
echo "direct pair: the tester's ceiling $ndr_low frames/s (limited by the $ndr_limit)," \
    "the 64-byte flood $throughput_fps frames/s, $trials trials"

# --- A routed path (tg_router_up): the router's MAC found from its IPv4 address (ARP, the global
# next hop) and from its IPv6 one (neighbour discovery, stream 2's next hop); IPv4 and IPv6
# through it lossless in the loss-and-delay test; then the benchmark of each at 512 bytes.
tg_router_up "tgrs$$" "tgrr$$"
routed_config() { # FILE IP-VERSION OPERATION DURATION [STREAMS...]
    local file=$1 version=$2
    TG_TX=tgrs$$ TG_RX=tgrr$$ TG_RX_MAC=- tg_write_config "$file" "${@:3}"
    sed -i "s/^destination MAC = .*/next hop = $TG_HOP4/" "$file"
    if ((version == 6)); then
        tg_stream_key "$file" "$(grep -c '^\[STREAM' "$file")" "IP version" 6
        tg_stream_key "$file" "$(grep -c '^\[STREAM' "$file")" "next hop" "$TG_HOP6"
    fi
}
routed_config "$TG_TMP/routed.conf" 6 2 500000 1 - "0/constant 512/constant 1000" "184/constant 512/constant 1000"
tg_exec 60 "$TG_BIN" --json "$TG_TMP/routed.json" "$TG_TMP/routed.conf"
tg_expect_lossless 100
python3 - "$TG_TMP/routed.json" "$TG_ROUTER_MAC" "$TG_ROUTED_RX_IP6" <<'PY' || tg_fail "the routed frames were not sent to the router as IPv4 and IPv6"
import json, sys
test = json.load(open(sys.argv[1]))["test"]
frames = test["streams"][1]["frames"]
assert test["destination_mac"] == sys.argv[2] and "frames" not in test["streams"][0], test
assert (frames["ip_version"], frames["destination_ip"], frames["destination_mac"]) == (6, sys.argv[3], sys.argv[2]), frames
PY
for version in 4 6; do
    routed_config "$TG_TMP/routed$version.conf" "$version" 1 1000000
    tg_exec 150 "$TG_BIN" --benchmark --frame-sizes 512 --trial-duration 300000 --final-duration 300000 \
        --latency-loads 50 --json "$TG_TMP/routed$version.json" "$TG_TMP/routed$version.conf"
    tg_expect_status 0
    read -r size ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_idle p50_half line_fps trials \
        _ <<<"$(sizes_of "$TG_TMP/routed$version.json")"
    tg_num 'n > 0' n="$ndr_low" || tg_fail "routed IPv$version: no non-drop rate"
    [[ $p50_half != none ]] || tg_fail "routed IPv$version: no latency measured"
    # On AF_XDP too the latency's send end is the kernel's stamp (its stamped frames sent beside).
    python3 -c 'import json, sys
for load in json.load(open(sys.argv[1]))["benchmark"]["sizes"][0]["latency"]:
    assert load["stamp_source"] == "kernel" and load["send_stamps"]["missing"] == 0, load' \
        "$TG_TMP/routed$version.json" || tg_fail "routed IPv$version: the latency is not stamped by the kernel"
    echo "routed IPv$version, $size B: NDR $ndr_low..$ndr_up ($ndr_limit), PDR $pdr_low..$pdr_up, p50 $p50_half us at 50 %, $trials trials"
done

# --- An interrupt during the search: the tables so far and the results file, marked interrupted.
# AF_XDP is refused here (no locked memory for its frames): the benchmark falls back to the
# batched path and says so once.
printf '#!/bin/bash\nexec prlimit --memlock=65536 setpriv --bounding-set=-ipc_lock --inh-caps=-ipc_lock %q "$@"\n' \
    "$TG_BIN" >"$TG_TMP/no-xdp"
chmod +x "$TG_TMP/no-xdp"
TG_BIN=$TG_TMP/no-xdp tgf_start "$TG_TMP/run" /dev/null --benchmark --trial-duration 300000 --json "$TG_TMP/cut.json" \
    "$TG_TMP/direct.conf"
# Once the program itself catches SIGINT (its wrapper may take seconds to start on a busy
# machine, and catches SIGINT too).
binary=$(readlink -f "$TG_BIN")
for ((i = 0; i < 300; i++)); do
    mask=$(awk '$1 == "SigCgt:" { print $2 }' "/proc/$TGF_PID/status" 2>/dev/null || true)
    [[ $(readlink "/proc/$TGF_PID/exe" 2>/dev/null) == "$binary" && -n $mask ]] &&
        ((0x$mask & 2)) && break
    sleep 0.1
done
sleep 1
kill -INT "$TGF_PID"
tgf_wait_end 20 "interrupted benchmark"
tg_expect_status 0
grep -q '^Benchmark prerusen: [0-9]* pokusu' "$TG_TMP/out" || tg_fail "no end line of an interrupted benchmark"
grep -q '^| NDR  ' "$TG_TMP/out" || tg_fail "no rate table after the interrupt"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(not (d["interrupted"] and d["benchmark"]["sizes"][0]["trials"]))' \
    "$TG_TMP/cut.json" || tg_fail "the results file does not hold the interrupted benchmark"
[[ $(grep -c 'AF_XDP' "$TG_TMP/err") == 1 ]] &&
    grep -q "^AF_XDP na rozhrani tgds$$ nelze pouzit (.*): odesila se po davkach (batched)$" "$TG_TMP/err" ||
    tg_fail "no single fall-back line: $(cat "$TG_TMP/err")"
python3 -c 'import json, sys; t = json.load(open(sys.argv[1]))["test"]; sys.exit(not (t["send_path"] == "batched" and t["send_path_fallback"]))' \
    "$TG_TMP/cut.json" || tg_fail "the results file does not note the fall-back to the batched path"
# Each kind of plot once, from these real runs, where matplotlib is installed.
if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
    for kind in shaped throughput; do
        /usr/bin/python3 "$TG_LIB_DIR/../../scripts/plot-results.py" "$TG_TMP/$kind.json" "$TG_TMP/$kind.png" ||
            tg_fail "the plot of $kind.json failed"
        [[ -s $TG_TMP/$kind.png ]] || tg_fail "no plot of $kind.json"
    done
    echo "plots of a benchmark and of a test drawn"
fi
echo "PASS: shaper's rate found below 1 % of the line and through random drops, the tester's own limit named behind a shaped sending interface, the tester's ceiling named on the direct pair, interrupt kept the results ($((SECONDS - began)) s)"
