#!/bin/bash
# The device benchmark's long scenarios, by hand (too slow for ctest; tests/e2e/benchmark.sh keeps
# the short ones):
#   through the emulated device, an htb shaper of 5000 kbit/s with a short queue and a small
#       burst, the line rate 1 Gbit/s (the shaper below 1 % of it), 512-byte frames, final trials
#       of 2 s: the non-drop rate lies within -1.5 ... +0.5 % of the shaper's frame rate
#       (rate / (8 x frame length without the check sequence), as htb counts it), the
#       partial-drop rate is not below it, the delay at 50 % of it is close to the delay at 10 %
#       (an idle shaper);
#   the same shaper with 1 frame in 1000 dropped at random on the way in (tg_device_impair), the
#       line rate 1 Gbit/s: both rates limited by the device, every interval with lower < upper
#       and no wider than its goal, the partial-drop rate within -2 ... +1 % of the shaper's;
#   the tester's own sending interface shaped (htb 40 Mbit/s, pfifo 16), the batched path, 1024-byte
#       frames: the non-drop rate is the tester's clean rate within 10 %, limited by the tester;
#   on a direct pair nothing limits but the tester (64-byte frames, far below the line rate):
#       the benchmark names the tester as the limit, at a rate close to a flood of such frames
#       (a ratio within one run).
#
#   sudo bash bench/benchmark-long.sh [PATH-TO-TRAFFICGEN]     (default build/trafficgen)
#
# About 3 minutes; .ci/run runs it after the tests. Uses the end-to-end tests' helpers: private namespaces, removed again on exit.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tests/e2e/lib.bash"
tg_init "${1:-$root/build/trafficgen}"
for tool in tc python3 chrt; do
    command -v "$tool" >/dev/null || tg_fail "required tool '$tool' is missing"
done
tg_device_up

# Prints "ndr_lower ndr_upper ndr_limit pdr_lower pdr_upper p50@10% p50@50% trials" of the first
# frame size of the results file.
size_of() {
    python3 - "$1" <<'PY'
import json, sys
size = json.load(open(sys.argv[1]))["benchmark"]["sizes"][0]
p50 = {entry["load_percent"]: entry["delay_us"]["p50"] for entry in size["latency"]}
ndr, pdr = size["ndr"], size["pdr"]
print(ndr["lower_fps"], ndr["upper_fps"], ndr["limited_by"].replace(" ", "_"), pdr["lower_fps"],
      pdr["upper_fps"], p50.get(10, "none"), p50.get(50, "none"), len(size["trials"]),
      pdr["limited_by"].replace(" ", "_"), ndr["width_percent"], pdr["width_percent"],
      ndr["goal"]["width_percent"], pdr["goal"]["width_percent"])
PY
}

# --- The shaper alone, final trials of 2 s.
rate=5000
tg_device_shaper "$rate" 100 4 1600
tg_write_config "$TG_TMP/shaped.conf" 1 1000000
tg_exec 280 "$TG_BIN" --benchmark --trial-duration 200000 --final-duration 2000000 --frame-sizes 512 \
    --line-rate 1G --latency-loads 10,50 --json "$TG_TMP/shaped.json" "$TG_TMP/shaped.conf"
tg_expect_status 0
read -r ndr_low ndr_up ndr_limit pdr_low pdr_up p50_idle p50_half trials _ <<<"$(size_of "$TG_TMP/shaped.json")"
shaper=$(awk -v r="$rate" 'BEGIN { printf "%.1f", r * 1000 / (8 * 508) }')
[[ $ndr_limit == device ]] || tg_fail "the NDR was limited by '$ndr_limit'"
tg_num 'n >= 0.985 * f && n <= 1.005 * f' n="$ndr_low" f="$shaper" ||
    tg_fail "NDR $ndr_low frames/s, the shaper passes $shaper"
tg_num 'p >= n && u >= f' p="$pdr_low" u="$pdr_up" n="$ndr_low" f="$shaper" ||
    tg_fail "PDR $pdr_low..$pdr_up frames/s below the shaper's $shaper"
[[ $p50_idle != none && $p50_half != none ]] || tg_fail "no latency measured"
tg_num 'h <= 2 * i + 100' h="$p50_half" i="$p50_idle" ||
    tg_fail "median delay $p50_half us at 50 % of NDR, $p50_idle us at 10 %"
echo "htb $rate kbit/s, 512 B: shaper $shaper frames/s, NDR $ndr_low..$ndr_up, PDR $pdr_low..$pdr_up," \
    "p50 $p50_idle us at 10 %, $p50_half us at 50 %, $trials trials"

# --- The same shaper, and 1 frame in 1000 dropped at random on the way in.
start=$SECONDS
tg_device_shaper "$rate" 100 4 1600
tg_device_impair 1 0
tg_exec 280 "$TG_BIN" --benchmark --trial-duration 200000 --final-duration 2000000 --frame-sizes 512 \
    --line-rate 1G --json "$TG_TMP/noisy.json" "$TG_TMP/shaped.conf"
tg_expect_status 0
read -r ndr_low ndr_up ndr_limit pdr_low pdr_up _ _ trials pdr_limit ndr_width pdr_width ndr_goal \
    pdr_goal <<<"$(size_of "$TG_TMP/noisy.json")"
[[ $ndr_limit == device && $pdr_limit == device ]] ||
    tg_fail "random drops: the rates were limited by '$ndr_limit' and '$pdr_limit', not the device"
tg_num 'nl < nu && pl < pu && nw <= ng && pw <= pg && ng <= 2 && pg <= 2' nl="$ndr_low" nu="$ndr_up" \
    pl="$pdr_low" pu="$pdr_up" nw="$ndr_width" pw="$pdr_width" ng="$ndr_goal" pg="$pdr_goal" ||
    tg_fail "random drops: NDR $ndr_low..$ndr_up (width $ndr_width %, goal $ndr_goal %), PDR" \
        "$pdr_low..$pdr_up (width $pdr_width %, goal $pdr_goal %)"
tg_num 'p >= 0.98 * f && p <= 1.01 * f' p="$pdr_low" f="$shaper" ||
    tg_fail "random drops: PDR $pdr_low frames/s, the shaper passes $shaper"
echo "htb $rate kbit/s and 1 in 1000 dropped, 512 B: NDR $ndr_low..$ndr_up, PDR $pdr_low..$pdr_up" \
    "(width $pdr_width %), $trials trials ($((SECONDS - start)) s)"
ip netns exec "$TG_DEV_NS" nft delete table netdev tgimpair
ip netns exec "$TG_DEV_NS" tc qdisc del dev "$TG_DEV_OUT" root

# --- The tester's own sending interface shaped, the device not: the batched path passes the
# sending interface's queue disciplines (AF_XDP passes them by).
start=$SECONDS
tg_tester_shaper
tg_exec 280 "$TG_BIN" --benchmark --trial-duration 200000 --final-duration 2000000 --frame-sizes 1024 \
    --line-rate 100M --send-path batched --json "$TG_TMP/tester.json" "$TG_TMP/shaped.conf"
tg_expect_status 0
read -r ndr_low ndr_up ndr_limit _ _ _ _ trials _ <<<"$(size_of "$TG_TMP/tester.json")"
clean=$(awk 'BEGIN { printf "%.1f", 40e6 / (8 * 1020) }')
[[ $ndr_limit == tester ]] || tg_fail "tester shaped: the NDR was limited by '$ndr_limit', not the tester"
tg_num 'n >= 0.9 * c && n <= 1.1 * c' n="$ndr_low" c="$clean" ||
    tg_fail "tester shaped: NDR $ndr_low frames/s, the tester's clean rate $clean"
echo "tester shaped to 40 Mbit/s, 1024 B: clean rate $clean frames/s, NDR $ndr_low..$ndr_up," \
    "$trials trials ($((SECONDS - start)) s)"
ip netns exec "$TG_NS" tc qdisc del dev "$TG_TX" root

# --- The direct pair: a second veth pair in the ends' namespace, no device between. The
# benchmark's senders use the AF_XDP path at real-time priority: the 64-byte flood it is
# compared with runs the same way.
net=$((($$ + 100) % 250 + 1))
tg_more_pair "$TG_NS" "tgds$$" "tgdr$$" "10.78.$net"
TG_TX=tgds$$ TG_RX=tgdr$$ TG_RX_MAC=$TG_MORE_RX_MAC tg_write_config "$TG_TMP/direct.conf" 1 1000000
TG_TX=tgds$$ TG_RX=tgdr$$ TG_RX_MAC=$TG_MORE_RX_MAC tg_write_config "$TG_TMP/flood.conf" 2 1000000 1 - \
    "0/constant 60/constant 0"
tg_exec 60 chrt -f 1 "$TG_BIN" --send-path xdp "$TG_TMP/flood.conf"
tg_expect_status 0
flood_fps=$(tg_field 1 1 sent)
tg_exec 120 "$TG_BIN" --benchmark --frame-sizes 64 --trial-duration 300000 --final-duration 300000 \
    --latency-loads 50 --json "$TG_TMP/direct.json" "$TG_TMP/direct.conf"
tg_expect_status 0
read -r ndr_low _ ndr_limit _ _ _ _ trials _ <<<"$(size_of "$TG_TMP/direct.json")"
[[ $ndr_limit == tester ]] || tg_fail "direct pair: the NDR was limited by '$ndr_limit', not the tester"
tg_num 'n >= 0.3 * t && n <= 1.5 * t' n="$ndr_low" t="$flood_fps" ||
    tg_fail "direct pair: the tester's ceiling $ndr_low frames/s, the 64-byte flood sent $flood_fps"
echo "direct pair: the tester's ceiling $ndr_low frames/s, the 64-byte flood $flood_fps frames/s, $trials trials"
echo "PASS"
