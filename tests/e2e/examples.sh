#!/bin/bash
# The sample configurations in examples/ (the demo's) are valid and produce
# complete reports once their placeholders are filled in.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}"
examples=$TG_LIB_DIR/../../examples

tg_config "$TG_TMP/throughput.conf" <"$examples/throughput.conf"
tg_run "$TG_TMP/throughput.conf"
tg_expect_report 1 1
tg_expect_lossless 1000 capture-drops

tg_config "$TG_TMP/loss-delay.conf" <"$examples/loss-delay.conf"
tg_run "$TG_TMP/loss-delay.conf"
tg_expect_report 3 3 0.9500
tg_expect_lossless 100
tg_expect_plausible_delays 1000000
tg_expect_statistics_match_rows 3 3 1.648
tg_expect_quiet_stderr
echo "PASS: examples/throughput.conf and examples/loss-delay.conf run"
