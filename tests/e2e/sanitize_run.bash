#!/bin/bash
# A short real run of a sanitizer build (scripts/sanitize.sh): two cycles of two streams and
# one throughput cycle on a private veth pair. Any ASan/UBSan report ends a process with a
# status other than 0 (or lands in the report directory that sanitize.sh checks); the report
# itself must still be complete and lossless. Not named *.sh: it is not a ctest test of its own.
source "$(dirname "$0")/lib.bash"
tg_init "$@"
tg_net_up

tg_config "$TG_TMP/loss-delay.conf" <<'CONF'
sending interface = @SENDING@
receiving interface = @RECEIVING@
operation = 2
destination MAC = @MAC@
duration = 300000
cycles = 2
confidence interval probability = 0.95
stream count = 2

[STREAM 1]
TOS = 0
size distribution = 2
size normal mean = 800
size normal variance = 300
time distribution = 3
time exponential mean = 1000

[STREAM 2]
TOS = 184
size distribution = 1
size uniform mean = 700
time distribution = 0
time constant value = 2000
CONF
tg_run "$TG_TMP/loss-delay.conf" 120
tg_expect_status 0
tg_check_layout 2 2 0.9500
tg_expect_lossless 10
tg_expect_plausible_delays 2000000
tg_expect_no_handover_files

tg_config "$TG_TMP/throughput.conf" <<'CONF'
sending interface = @SENDING@
receiving interface = @RECEIVING@
operation = 1
destination MAC = @MAC@
duration = 200000
[STREAM 1]
TOS = 0
CONF
tg_run "$TG_TMP/throughput.conf" 120
tg_expect_status 0
tg_check_layout 1 1
tg_expect_no_handover_files
echo "PASS: sanitized binary ran a loss-and-delay and a throughput test cleanly"
