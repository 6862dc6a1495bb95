#!/bin/bash
# A short real run of a sanitizer build (scripts/sanitize.sh): two cycles of two streams (again
# on a terminal, for the progress line) and one throughput cycle on a private veth pair. Any
# ASan/UBSan report ends a process with a status other than 0 (or lands in the report directory
# that sanitize.sh checks); the report itself must still be complete and lossless. Not named *.sh: it is not a ctest test of its own.
source "$(dirname "$0")/lib.bash"
tg_setup "${1:-}"

tg_write_config "$TG_TMP/loss-delay.conf" 2 300000 2 0.95 "0/normal 800 300/exponential 1000" "184/uniform 700/constant 2000"
tg_run "$TG_TMP/loss-delay.conf" 120
tg_expect_report 2 2 0.9500
tg_expect_lossless 10
tg_expect_plausible_delays 2000000
tg_expect_no_handover_files
# The progress line's path is taken only on a terminal.
tg_run_tty both "$TG_TMP/loss-delay.conf" 120
tg_expect_status 0
tg_check_layout 2 2 0.9500 "$TG_TMP/screen"

tg_write_config "$TG_TMP/throughput.conf" 1 200000
tg_run "$TG_TMP/throughput.conf" 120
tg_expect_report 1 1
tg_expect_no_handover_files
echo "PASS: sanitized binary ran a loss-and-delay and a throughput test cleanly"
