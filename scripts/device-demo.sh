#!/bin/bash
# Shows trafficgen measuring a device (run as root): a switch emulated by a Linux bridge in a
# network namespace of its own, cabled to the sending and the receiving interface, with an
# htb shaper of 8 Mbit/s on its port towards the receiving interface and TOS 184 in a class
# served first. Two loss-and-delay tests, 2 cycles of 2 s each:
#   deep queue (5000 frames), one stream just above the rate: the queue delays frames by
#       hundreds of milliseconds but drops none, and nothing is counted as lost;
#   short queue (20 frames), overload: the TOS 184 stream passes untouched, the
#       best-effort stream loses frames and waits as long as its queue is;
#   a benchmark (--benchmark) of the same device shaped to 10 Mbit/s with a queue of 8 frames:
#       it finds the shaper's frame rate for 64- and 512-byte frames and measures the delay
#       below it; its results go to build/demo/benchmark.json, their plot to
#       build/demo/benchmark.png;
#   a service test (--service-test, ITU-T Y.1564) of the device shaped to 6 Mbit/s with short
#       queues, best effort limited to 2 Mbit/s: service 1 (TOS 184, CIR 4 Mbit/s + EIR 2 Mbit/s)
#       passes, policed to 6 Mbit/s; service 2 (best effort, CIR 3 Mbit/s) fails its loss
#       criterion from 75 % of its CIR on and is unavailable in the performance test (12 s here);
#       results in build/demo/service-test.json, plot in build/demo/service-test.png;
#   an impaired cable, with --sequence-numbers: the device drops 3 % and copies 2 % of the
#       frames at random (nftables ingress rules) and delays the odd-numbered ones behind a
#       slow htb class; the tool tells the loss, the duplicates and the reordering apart.
# After each test the device's own counters are shown. Everything is removed afterwards.
#
#   bash scripts/device-demo.sh
#
# Installs what is missing and builds first.
source "$(dirname "$0")/demo-prelude.bash"

# The namespaces, the bridge, the shaper and the cleanup are the end-to-end tests' own.
source "$root/tests/e2e/lib.bash"
tg_init "$binary"
echo "Building the device and waiting until its bridge forwards..."
tg_device_up
echo "$TG_TX ($TG_TX_IP) -> [bridge in namespace $TG_DEV_NS, htb 8 Mbit/s towards] -> $TG_RX ($TG_RX_IP)"

# Runs a test on CONF and prints the shaper's counters after it.
run_test() {
    (cd "$TG_TMP" && ip netns exec "$TG_NS" "$binary" "$1")
    local queue name sent dropped backlog
    for queue in 10: 20:; do
        name=$([[ $queue == 10: ]] && echo "TOS 184" || echo "best effort")
        read -r sent dropped backlog <<<"$(tg_device_queue "$queue")"
        printf 'Shaper queue %-11s: sent %s frames, dropped %s\n' "$name" "$sent" "$dropped"
    done
    echo
}

echo
echo "== Deep queue: 1000-byte frames every 700 us (about 11 Mbit/s offered), 2 cycles of 2 s =="
echo
tg_device_shaper 8000 1000 5000
tg_write_config "$TG_TMP/deep.conf" 2 2000000 2 0.95 "0/constant 1000/constant 700"
run_test "$TG_TMP/deep.conf"

echo "== Overload, short queue: best effort 1000 bytes every 500 us, TOS 184 200 bytes every 2 ms =="
echo
tg_device_shaper 8000 100 20
tg_write_config "$TG_TMP/overload.conf" 2 2000000 2 0.95 "0/constant 1000/constant 500" \
    "184/constant 200/constant 2000"
run_test "$TG_TMP/overload.conf"
echo "== Benchmark: htb at 10 Mbit/s, queue of 8 frames, 64- and 512-byte frames =="
echo "   (the shaper passes 10000000 / (8 x 60) = 20833 frames/s of 64 bytes, 10000000 / (8 x 508)"
echo "   = 2460 of 512 bytes: htb counts the frames without their 4-byte check sequence)"
echo
tg_device_shaper 10000 100 8 2000
tg_write_config "$TG_TMP/benchmark.conf" 1 1000000
mkdir -p "$root/build/demo"
results=$root/build/demo/benchmark.json
(cd "$TG_TMP" && ip netns exec "$TG_NS" "$binary" --benchmark --frame-sizes 64,512 --line-rate 20M \
    --final-duration 2000000 --json "$results" "$TG_TMP/benchmark.conf")
echo "Results file: $results"
demo_plot "$results"
echo
echo "== Service test (ITU-T Y.1564): htb at 6 Mbit/s, best effort at most 2 Mbit/s, queues of 10 and 5 =="
echo "   service 1: TOS 184, CIR 4M, EIR 2M, FLR 1 %; service 2: best effort, CIR 3M, FLR 0.5 %"
echo
tg_device_shaper 6000 10 5
ip netns exec "$TG_DEV_NS" tc class change dev "$TG_DEV_OUT" parent 1:1 classid 1:20 htb \
    rate 2000kbit ceil 2000kbit prio 1
tg_write_config "$TG_TMP/services.conf" 2 1000000 1 - "184/constant 1000/constant 1000" \
    "0/constant 1000/constant 1000"
sed -i -e '/^\[STREAM 1\]/a CIR = 4M\nEIR = 2M\nFLR = 1' \
    -e '/^\[STREAM 2\]/a CIR = 3M\nFLR = 0.5\navailability = 99' "$TG_TMP/services.conf"
results=$root/build/demo/service-test.json
status=0
(cd "$TG_TMP" && ip netns exec "$TG_NS" "$binary" --service-test --step-duration 2000000 \
    --performance-duration 12 --json "$results" "$TG_TMP/services.conf") || status=$?
echo "Exit status $status (0 passed, 2 the device failed a criterion, 3 the tester's limit)"
echo "Results file: $results"
demo_plot "$results"
echo
echo "== Impaired cable, numbered frames: 100 bytes every 200 us, 1 cycle of 2 s =="
echo
tg_device_impair 30 20
tg_device_reorder 400
tg_write_config "$TG_TMP/impaired.conf" 2 2000000 1 - "0/constant 100/constant 200"
(cd "$TG_TMP" && ip netns exec "$TG_NS" "$binary" --sequence-numbers --loss-timeout 10000000 "$TG_TMP/impaired.conf")
read -r dropped copied <<<"$(tg_device_impairments)"
echo "Device: dropped $dropped frames, copied $copied; odd-numbered frames delayed behind 400 kbit/s"
echo
echo "Done; the namespaces $TG_NS and $TG_DEV_NS are removed."
