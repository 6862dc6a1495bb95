#!/bin/bash
# The device benchmark (--benchmark), short trials (final ones of 0.3 or 0.5 s deciding alone):
#   through the emulated device, an htb shaper of 5000 kbit/s with a short queue and a small
#       burst, and an nftables rule dropping 1 frame in 1000 at random on the way in (numgen
#       random), 512-byte frames: both rates limited by the device, every interval has
#       lower < upper, is no wider than its goal and found to the end, the NDR not above the
#       PDR, and the PDR within -2.5 ... +3 % of the shaper's frame rate (rate / (8 x frame
#       length without the check sequence), as htb counts it; a 0.5 s trial hides the 8 or so
#       frames of the queue and the burst);
#   an unshaped device behind a tester whose own sending interface is shaped (htb, 40 Mbit/s,
#       a short queue), frames on the batched path (AF_XDP would pass by that queue): the
#       non-drop rate is limited by the tester, at most 10 % above its clean rate and at
#       least half of it (a "limited by the tester" rate is only a lower bound: one stalled
#       short trial ends the search below the clean rate); a progress line per trial on a
#       terminal;
#   through a router (IPv4 and IPv6, next hop found by ARP and neighbour discovery): the
#       loss-and-delay test loses nothing, the benchmark finds a rate for each and its latency
#       stamped by the kernel;
#   an interrupt ends the benchmark with its tables and the results file; AF_XDP refused, it
#       falls back to the batched path with one line on standard error and a note in the results
#       file.
source "$(dirname "$0")/lib.bash"
tg_init "${1:-}" tc nft python3
tg_device_up
began=$SECONDS

# Prints "ndr_lower ndr_upper ndr_limit pdr_lower pdr_upper pdr_limit p50@50% trials ndr_width
# pdr_width ndr_goal_width pdr_goal_width complete" of the first frame size of the results file.
size_of() {
    python3 - "$1" <<'PY'
import json, sys
size = json.load(open(sys.argv[1]))["benchmark"]["sizes"][0]
p50 = {entry["load_percent"]: entry["delay_us"]["p50"] for entry in size["latency"]}
ndr, pdr = size["ndr"], size["pdr"]
print(ndr["lower_fps"], ndr["upper_fps"], ndr["limited_by"].replace(" ", "_"),
      pdr["lower_fps"], pdr["upper_fps"], pdr["limited_by"].replace(" ", "_"), p50.get(50, "none"),
      len(size["trials"]), ndr["width_percent"], pdr["width_percent"], ndr["goal"]["width_percent"],
      pdr["goal"]["width_percent"], int(ndr["complete"] and pdr["complete"]))
PY
}

# The benchmark of CONFIG with JSON into FILE and the options given, in short trials of 0.1 s and
# final ones of FINAL us, each deciding alone; with TTY set, standard error on a terminal (its
# transcript in $TG_TMP/tty).
short_benchmark() { # FINAL FILE CONFIG OPTION...
    local final=$1 file=$2 config=$3 run=("$TG_BIN")
    shift 3
    [[ -z ${TTY:-} ]] || run=(python3 "$TG_LIB_DIR/pty_run.py" run stderr "$TG_TMP/tty" "$TG_BIN")
    tg_exec 120 "${run[@]}" --benchmark --trial-duration 100000 --final-duration "$final" \
        --duration-sum "$final" --latency-loads 50 --json "$file" "$@" "$config"
    tg_expect_status 0
    grep -q '^| NDR  ' "$TG_TMP/out" || tg_fail "no rate table"
    grep -q '^NDR: cil ztratovost 0.000 %' "$TG_TMP/out" || tg_fail "no line of the NDR's goal"
}

# --- The shaper, and 1 frame in 1000 dropped at random on the way in.
start=$SECONDS
rate=5000
tg_device_shaper "$rate" 100 4 1600
tg_device_impair 1 0
tg_write_config "$TG_TMP/shaped.conf" 1 1000000
short_benchmark 500000 "$TG_TMP/noisy.json" "$TG_TMP/shaped.conf" --frame-sizes 512 --line-rate 6M --precision 2
read -r ndr_low ndr_up ndr_limit pdr_low pdr_up pdr_limit p50_half trials ndr_width pdr_width \
    ndr_goal pdr_goal complete <<<"$(size_of "$TG_TMP/noisy.json")"
# Reported, not checked: the search's few thousand frames miss the rule's 1 in 1000 now and then
# (e^-3 for 3000 frames), and every check below holds with drops and without.
read -r dropped _ <<<"$(tg_device_impairments)"
shaper=$(awk -v r="$rate" 'BEGIN { printf "%.1f", r * 1000 / (8 * 508) }')
[[ $ndr_limit == device && $pdr_limit == device ]] ||
    tg_fail "random drops: the rates were limited by '$ndr_limit' and '$pdr_limit', not the device"
tg_num 'nl < nu && pl < pu && nl <= pl && nw <= ng && pw <= pg && ng == 2 && pg == 2 && c == 1' \
    nl="$ndr_low" nu="$ndr_up" pl="$pdr_low" pu="$pdr_up" nw="$ndr_width" pw="$pdr_width" \
    ng="$ndr_goal" pg="$pdr_goal" c="$complete" ||
    tg_fail "random drops: NDR $ndr_low..$ndr_up (width $ndr_width %), PDR $pdr_low..$pdr_up" \
        "(width $pdr_width %), goal widths $ndr_goal %, $pdr_goal %, complete $complete"
tg_num 'p >= 0.975 * f && p <= 1.03 * f' p="$pdr_low" f="$shaper" ||
    tg_fail "random drops: PDR $pdr_low frames/s, the shaper passes $shaper"
[[ $p50_half != none ]] || tg_fail "random drops: no latency measured"
echo "htb $rate kbit/s and 1 in 1000 dropped, 512 B: shaper $shaper frames/s, NDR $ndr_low..$ndr_up," \
    "PDR $pdr_low..$pdr_up (width $pdr_width %), $dropped dropped by the rule, $trials trials" \
    "($((SECONDS - start)) s)"
ip netns exec "$TG_DEV_NS" nft delete table netdev tgimpair
ip netns exec "$TG_DEV_NS" tc qdisc del dev "$TG_DEV_OUT" root

# --- The tester's own sending interface shaped, the device not: the tester is the limit. The
# frames take the batched path, through the sending interface's queue disciplines (AF_XDP
# passes them by, and the shaper with them).
start=$SECONDS
tg_tester_shaper
TTY=1 short_benchmark 300000 "$TG_TMP/tester.json" "$TG_TMP/shaped.conf" --frame-sizes 1024 \
    --line-rate 100M --precision 5 --send-path batched
read -r ndr_low ndr_up ndr_limit _ _ _ _ trials _ <<<"$(size_of "$TG_TMP/tester.json")"
clean=$(awk 'BEGIN { printf "%.1f", 40e6 / (8 * 1020) }')
[[ $ndr_limit == tester ]] || tg_fail "tester shaped: the NDR was limited by '$ndr_limit', not the tester"
grep -q '^NDR: omezenim byl tester, ne zarizeni: ' "$TG_TMP/out" || tg_fail "the tester is not named as the limit"
tg_num 'n >= 0.5 * c && n <= 1.1 * c' n="$ndr_low" c="$clean" ||
    tg_fail "tester shaped: NDR $ndr_low frames/s, the tester's clean rate $clean"
progress_lines=$(grep -c 'Ramec 1024 B: zatizeni [0-9a-z]* .*, pokus [0-9]* -> odeslano' "$TG_TMP/tty" || true)
((progress_lines == trials)) || tg_fail "$progress_lines progress lines for $trials trials"
echo "tester shaped to 40 Mbit/s, 1024 B: clean rate $clean frames/s, NDR $ndr_low..$ndr_up" \
    "($ndr_limit), $trials trials ($((SECONDS - start)) s)"
ip netns exec "$TG_NS" tc qdisc del dev "$TG_TX" root

# --- A routed path (tg_router_up): the router's MAC found from its IPv4 address (ARP, the global
# next hop) and from its IPv6 one (neighbour discovery, stream 2's next hop); IPv4 and IPv6
# through it lossless in the loss-and-delay test; then the benchmark of each at 512 bytes, below
# a line rate that the first trial passes.
start=$SECONDS
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
    short_benchmark 300000 "$TG_TMP/routed$version.json" "$TG_TMP/routed$version.conf" --frame-sizes 512 \
        --line-rate 10M
    read -r ndr_low ndr_up ndr_limit _ _ _ p50_half trials _ <<<"$(size_of "$TG_TMP/routed$version.json")"
    tg_num 'n > 0' n="$ndr_low" || tg_fail "routed IPv$version: no non-drop rate"
    [[ $p50_half != none ]] || tg_fail "routed IPv$version: no latency measured"
    # On AF_XDP too the latency's send end is the kernel's stamp (its stamped frames sent beside).
    python3 -c 'import json, sys
for load in json.load(open(sys.argv[1]))["benchmark"]["sizes"][0]["latency"]:
    assert load["stamp_source"] == "kernel" and load["send_stamps"]["missing"] == 0, load' \
        "$TG_TMP/routed$version.json" || tg_fail "routed IPv$version: the latency is not stamped by the kernel"
    echo "routed IPv$version, 512 B: NDR $ndr_low..$ndr_up ($ndr_limit), p50 $p50_half us at 50 %, $trials trials"
done
echo "routed: $((SECONDS - start)) s"

# --- An interrupt during the search: the tables so far and the results file, marked interrupted.
# AF_XDP is refused here (no locked memory for its frames): the benchmark falls back to the
# batched path and says so once.
printf '#!/bin/bash\nexec prlimit --memlock=65536 setpriv --bounding-set=-ipc_lock --inh-caps=-ipc_lock %q "$@"\n' \
    "$TG_BIN" >"$TG_TMP/no-xdp"
chmod +x "$TG_TMP/no-xdp"
TG_BIN=$TG_TMP/no-xdp tgf_start "$TG_TMP/run" /dev/null --benchmark --trial-duration 300000 --json "$TG_TMP/cut.json" \
    "$TG_TMP/shaped.conf"
# Once the program itself catches SIGINT (its wrapper may take seconds to start on a busy
# machine, and catches SIGINT too).
binary=$(readlink -f "$TG_BIN")
tg_until 30 "the benchmark did not catch SIGINT within 30 s" '[[ $(readlink "/proc/$TGF_PID/exe" 2>/dev/null) == "$binary" ]] &&
    mask=$(awk '"'"'$1 == "SigCgt:" { print $2 }'"'"' "/proc/$TGF_PID/status" 2>/dev/null) && [[ -n $mask ]] && ((0x$mask & 2))'
sleep 1
kill -INT "$TGF_PID"
tgf_wait_end 20 "interrupted benchmark"
tg_expect_status 0
grep -q '^Benchmark prerusen: [0-9]* pokusu' "$TG_TMP/out" || tg_fail "no end line of an interrupted benchmark"
grep -q '^| NDR  ' "$TG_TMP/out" || tg_fail "no rate table after the interrupt"
[[ $(grep -c 'AF_XDP' "$TG_TMP/err") == 1 ]] &&
    grep -q "^AF_XDP na rozhrani $TG_TX nelze pouzit (.*): odesila se po davkach (batched)$" "$TG_TMP/err" ||
    tg_fail "no single fall-back line: $(cat "$TG_TMP/err")"
python3 -c 'import json, sys
d = json.load(open(sys.argv[1])); t = d["test"]
sys.exit(not (d["interrupted"] and d["benchmark"]["sizes"][0]["trials"] and t["send_path"] == "batched" and t["send_path_fallback"]))' \
    "$TG_TMP/cut.json" || tg_fail "the results file does not hold the interrupted benchmark and the fall-back to the batched path"
# Each kind of plot once, from these real runs, where matplotlib is installed.
if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
    for kind in noisy routed; do
        /usr/bin/python3 "$TG_LIB_DIR/../../scripts/plot-results.py" "$TG_TMP/$kind.json" "$TG_TMP/$kind.png" ||
            tg_fail "the plot of $kind.json failed"
        [[ -s $TG_TMP/$kind.png ]] || tg_fail "no plot of $kind.json"
    done
    echo "plots of a benchmark and of a test drawn"
fi
echo "PASS: shaper's rate found through random drops, the tester's own limit named behind a shaped sending interface, routed IPv4 and IPv6, interrupt kept the results ($((SECONDS - began)) s)"
