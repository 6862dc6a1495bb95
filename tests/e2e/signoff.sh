#!/bin/bash
# Sign-off modes on an emulated device: a bridge whose port towards the receiving end is shaped by
# htb to 6 Mbit/s (tg_device_shaper), TOS 184 in a class with a queue of 10 frames, best effort limited
# to 2 Mbit/s behind a queue of 5 frames: short queues that drop what exceeds the rate, like policers.
#   --interval: the intervals of every stream add up to its cycle's counts;
#   --service-test, steps at 50 and 100 % of CIR, 0.5 s each: service 1 (TOS 184, CIR 4 Mbit/s,
#       EIR 2 Mbit/s) passes every configuration step, the overshoot above CIR + EIR included,
#       because the shaper holds it to 6 Mbit/s; service 2 (best effort, CIR 3 Mbit/s) loses
#       frames at the 100 % step and fails its loss criterion there, and in the performance test
#       (2 s, both at once) too; the run ends with status 2 (how severely errored seconds make
#       unavailable time is the unit tests');
#   --benchmark-tests frame-loss, best effort behind a queue of 50 frames at 2 Mbit/s: the frame
#       loss rate starts at 100 % of the line with loss and ends with two lossless steps.
source "$(dirname "$0")/lib.bash"
tg_init "${1:-}" tc python3
tg_device_up
tg_device_shaper 6000 10 5
ip netns exec "$TG_DEV_NS" tc class change dev "$TG_DEV_OUT" parent 1:1 classid 1:20 htb \
    rate 2000kbit ceil 2000kbit prio 1 || tg_fail "cannot limit the best-effort class"

# --- Per-interval figures: 1000-byte frames every 2 ms, 100-ms intervals.
tg_write_config "$TG_TMP/intervals.conf" 2 500000 1 - "184/constant 1000/constant 2000"
tg_exec 60 "$TG_BIN" --interval 100 --json "$TG_TMP/intervals.json" "$TG_TMP/intervals.conf"
tg_expect_status 0
python3 - "$TG_TMP/intervals.json" <<'PY' || tg_fail "the intervals do not add up to the cycle"
import json, sys
document = json.load(open(sys.argv[1]))
assert document["test"]["interval_ms"] == 100
stream = document["cycles"][0]["streams"][0]
intervals = stream["intervals"]
assert 5 <= len(intervals) <= 6, len(intervals)
assert sum(i["sent"] for i in intervals) == stream["sent"], "sent"
assert sum(i["received"] for i in intervals) == stream["received"], "received"
assert [i["start_ms"] for i in intervals[:3]] == [0, 100, 200]
# The rate counts the frames received with their check sequence, 1004 bytes each.
assert all(i["rate_bps"] == i["received"] * 1004 * 8e6 / i["length_us"] for i in intervals)
PY

# --- The service test.
tg_write_config "$TG_TMP/services.conf" 2 1000000 1 - "184/constant 1000/constant 1000" \
    "0/constant 1000/constant 1000"
sed -i -e '/^\[STREAM 1\]/a CIR = 4M\nEIR = 2M\nFLR = 1\nFTD = 200000' \
    -e '/^\[STREAM 2\]/a CIR = 3M\nFLR = 0.5\navailability = 99' "$TG_TMP/services.conf"
tg_exec 120 "$TG_BIN" --service-test --service-steps 50,100 --step-duration 500000 --performance-duration 2 \
    --json "$TG_TMP/services.json" "$TG_TMP/services.conf"
cat "$TG_TMP/out"
tg_expect_status 2
grep -q '^Celkovy vysledek: nevyhovuje$' "$TG_TMP/out" || tg_fail "no overall verdict"
python3 - "$TG_TMP/services.json" <<'PY' || tg_fail "the service test's verdicts are not the device's"
import json, sys
test = json.load(open(sys.argv[1]))["service_test"]
assert test["verdict"] == "device failed" and test["exit_status"] == 2
one, two = test["services"]
# A step the busy tester could not offer is its own limit, never a verdict on the device.
steps = [(s["step"], s["percent"], s["verdict"]) for s in one["configuration"]]
assert [s[:2] for s in steps] == [("cir", 50), ("cir", 100), ("cir+eir", None), ("overshoot", None)], steps
assert all(s[2] in ("passed", "tester limit") for s in steps), steps
overshoot = one["configuration"][-1]
# Offered 6.5 Mbit/s; the shaper passes its 6 Mbit/s (frames counted with their check sequence),
# and in 0.5 s what its queue of 10 frames and its burst held (under 0.3 Mbit/s).
assert overshoot["offered_bps"] == 6.5e6, overshoot
if overshoot["verdict"] == "passed":
    assert 5.5e6 < overshoot["received_bps"] < 6.4e6, overshoot
verdicts = [s["verdict"] for s in two["configuration"]]
assert verdicts[0] in ("passed", "tester limit") and verdicts[2] in ("passed", "tester limit"), verdicts
assert verdicts[1] == "device failed", verdicts
failed = [s for s in two["configuration"] if s["verdict"] == "device failed"][0]
assert failed["failure"].startswith("FLR "), failed
assert one["performance"]["verdict"] in ("passed", "tester limit"), one["performance"]
performance = two["performance"]
assert performance["seconds"] == 2 and len(performance["intervals"]) == 2, performance
assert performance["verdict"] == "device failed", performance
print("service 1:", steps)
print("service 2:", verdicts, failed["failure"])
PY

# --- The frame loss rate test through a queue of known length: 50 frames of 1000 bytes in the
# best-effort class at 2 Mbit/s (250 frames/s), the line 500 frames/s, steps of 0.3 s: at the
# line rate 75 frames more than the shaper passes arrive, more than the queue holds.
ip netns exec "$TG_DEV_NS" tc qdisc change dev "$TG_DEV_OUT" parent 1:20 handle 20: pfifo limit 50 ||
    tg_fail "cannot lengthen the best-effort queue"
tg_write_config "$TG_TMP/steps.conf" 2 1000000 1 - "0/constant 1000/constant 1000"
tg_exec 60 "$TG_BIN" --benchmark --benchmark-tests frame-loss --frame-sizes 1004 --line-rate 4096k \
    --final-duration 300000 --loss-timeout 300000 --json "$TG_TMP/steps.json" "$TG_TMP/steps.conf"
tg_expect_status 0
python3 - "$TG_TMP/steps.json" <<'PY' || tg_fail "the frame loss rate test did not step down to the device's rate"
import json, sys
benchmark = json.load(open(sys.argv[1]))["benchmark"]
assert benchmark["tests"] == ["frame loss"], benchmark["tests"]
steps = benchmark["sizes"][0]["frame_loss"]["steps"]
assert [s["percent"] for s in steps] == [100 - 10 * i for i in range(len(steps))], steps
assert steps[0]["loss_percent"] > 0 and all(s["valid"] for s in steps), steps
assert steps[-1]["loss_percent"] == 0 and steps[-2]["loss_percent"] == 0, steps
print("frame loss steps:", [(s["percent"], round(s["loss_percent"], 1)) for s in steps])
PY
