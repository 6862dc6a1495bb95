#!/bin/bash
# Shows trafficgen at work (run as root).
#
#   bash scripts/demo.sh            a throughput test (2 s) and a loss-and-delay test
#                                   (3 streams, 3 cycles of 1 s) on a veth pair in a
#                                   private network namespace, built from the sample
#                                   configurations in examples/; removed afterwards. The
#                                   loss-and-delay test also writes build/demo/results.json
#                                   and, when python3-matplotlib is installed, its plot
#                                   build/demo/results.png
#   bash scripts/demo.sh FILE       runs build/trafficgen FILE on your own interfaces
#
# Installs what is missing and builds first.
source "$(dirname "$0")/demo-prelude.bash"

if (($# > 0)); then
    exec "$binary" "$@"
fi

# The namespace, veth pair, placeholders and cleanup are the end-to-end tests' own.
source "$root/tests/e2e/lib.bash"
tg_init "$binary"
tg_net_up

echo "Network namespace $TG_NS: $TG_TX ($TG_TX_IP) -> $TG_RX ($TG_RX_IP, MAC $TG_RX_MAC)"
tg_config "$TG_TMP/throughput.conf" <"$root/examples/throughput.conf"
tg_config "$TG_TMP/loss-delay.conf" <"$root/examples/loss-delay.conf"

cd "$TG_TMP"
echo
echo "== Throughput test, 2 s (examples/throughput.conf) =="
echo
ip netns exec "$TG_NS" "$binary" "$TG_TMP/throughput.conf"
echo "== Loss-and-delay test, 3 streams, 3 cycles of 1 s (examples/loss-delay.conf) =="
echo
mkdir -p "$root/build/demo"
results=$root/build/demo/results.json
ip netns exec "$TG_NS" "$binary" --json "$results" "$TG_TMP/loss-delay.conf"
echo "Results file: $results (described in docs/results.md)"
demo_plot "$results"
echo "Done; the namespace $TG_NS is removed."
