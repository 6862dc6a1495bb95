#!/bin/bash
# Sign-off modes on an emulated device: a bridge whose port towards the receiving end is shaped by
# htb to 6 Mbit/s (tg_device_shaper), TOS 184 in a class with a queue of 10 frames, best effort limited
# to 2 Mbit/s behind a queue of 5 frames: short queues that drop what exceeds the rate, like policers.
#   --interval: the intervals of every stream add up to its cycle's counts;
#   --service-test: service 1 (TOS 184, CIR 4 Mbit/s, EIR 2 Mbit/s) passes every configuration
#       step, the overshoot above CIR + EIR included, because the shaper holds it to 6 Mbit/s;
#       service 2 (best effort, CIR 3 Mbit/s) loses frames from the 75 % step on and fails its
#       loss criterion there, and in the performance test (12 s, both at once) every second is
#       severely errored: ten of them begin unavailable time, so its availability is 0; the run
#       ends with status 2;
#   --benchmark-tests back-to-back,frame-loss,recovery with --expect-rate, best effort behind a queue
#       of 50 frames at 2 Mbit/s (250 frames/s of 1000 bytes), the line 500 frames/s: the longest
#       lossless burst is the queue plus what drains during the burst, 50 / (1 - 250 / 500) = 100
#       frames (and the frame or two htb lets through at once); the frame loss rate starts at 100 %
#       with loss and ends with two lossless steps; after the overload (110 % of the non-drop rate)
#       the device recovers within 30 ms at half of it (what leaves at the drop may still meet the
#       full queue); the non-drop rate is below the expected 400 frames/s: status 2.
source "$(dirname "$0")/lib.bash"
tg_init "${1:-}"
for tool in tc python3; do
    command -v "$tool" >/dev/null || tg_fail "required tool '$tool' is missing"
done
tg_device_up
tg_device_shaper 6000 10 5
ip netns exec "$TG_DEV_NS" tc class change dev "$TG_DEV_OUT" parent 1:1 classid 1:20 htb \
    rate 2000kbit ceil 2000kbit prio 1 || tg_fail "cannot limit the best-effort class"

# --- Per-interval figures: 1000-byte frames every 2 ms, 100-ms intervals.
tg_write_config "$TG_TMP/intervals.conf" 2 1000000 1 - "184/constant 1000/constant 2000"
tg_exec 60 "$TG_BIN" --interval 100 --json "$TG_TMP/intervals.json" "$TG_TMP/intervals.conf"
tg_expect_status 0
python3 - "$TG_TMP/intervals.json" <<'PY' || tg_fail "the intervals do not add up to the cycle"
import json, sys
document = json.load(open(sys.argv[1]))
assert document["test"]["interval_ms"] == 100
stream = document["cycles"][0]["streams"][0]
intervals = stream["intervals"]
assert 10 <= len(intervals) <= 11, len(intervals)
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
tg_exec 120 "$TG_BIN" --service-test --step-duration 1000000 --performance-duration 12 \
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
assert [s[:2] for s in steps] == [("cir", 25), ("cir", 50), ("cir", 75), ("cir", 100),
                                  ("cir+eir", None), ("overshoot", None)], steps
assert all(s[2] in ("passed", "tester limit") for s in steps), steps
overshoot = one["configuration"][-1]
# Offered 6.5 Mbit/s; the shaper passes its 6 Mbit/s (frames counted with their check sequence).
assert overshoot["offered_bps"] == 6.5e6, overshoot
if overshoot["verdict"] == "passed":
    assert 5.5e6 < overshoot["received_bps"] < 6.3e6, overshoot
verdicts = [s["verdict"] for s in two["configuration"]]
assert verdicts[:2] in (["passed", "passed"], ["passed", "tester limit"], ["tester limit", "passed"])
assert verdicts[2:4] == ["device failed", "device failed"], verdicts
assert verdicts[4] in ("passed", "tester limit"), verdicts
failed = [s for s in two["configuration"] if s["verdict"] == "device failed"][0]
assert failed["failure"].startswith("FLR "), failed
assert one["performance"]["verdict"] in ("passed", "tester limit"), one["performance"]
performance = two["performance"]
assert performance["seconds"] == 12, performance
assert performance["unavailable_seconds"] == 12 and performance["availability_percent"] == 0
assert performance["verdict"] == "device failed"
assert len(performance["intervals"]) == 12
print("service 1:", steps)
print("service 2:", verdicts, failed["failure"])
PY

# --- The further benchmark tests through a queue of known length: 50 frames in the best-effort
# class. Short trials: the non-drop rate comes out above the shaper's (the queue hides the excess
# of a short trial), which the burst's check does not use.
ip netns exec "$TG_DEV_NS" tc qdisc change dev "$TG_DEV_OUT" parent 1:20 handle 20: pfifo limit 50 ||
    tg_fail "cannot lengthen the best-effort queue"
tg_write_config "$TG_TMP/burst.conf" 2 1000000 1 - "0/constant 1000/constant 1000"
start=$SECONDS
tg_exec 200 "$TG_BIN" --benchmark --benchmark-tests back-to-back,frame-loss,recovery \
    --frame-sizes 1004 --line-rate 4096k --trial-duration 200000 --final-duration 500000 \
    --burst-duration 1000000 --burst-repetitions 2 --overload-duration 2000000 \
    --recovery-duration 1000000 --loss-timeout 300000 --expect-rate 1004=400 \
    --json "$TG_TMP/burst.json" "$TG_TMP/burst.conf"
seconds=$((SECONDS - start))
tg_expect_status 2
grep -q '^| Opakovani | Davka min. |' "$TG_TMP/out" && grep -q '^Celkovy vysledek: nevyhovuje$' "$TG_TMP/out" ||
    tg_fail "no back-to-back table or no verdict"
python3 - "$TG_TMP/burst.json" "$seconds" <<'PY' || tg_fail "the further tests did not find the device's queue"
import json, sys
benchmark = json.load(open(sys.argv[1]))["benchmark"]
assert benchmark["tests"] == ["frame loss", "back-to-back", "recovery"], benchmark["tests"]
verdict = benchmark["expected_rates"]
assert verdict["verdict"] == "device failed" and verdict["exit_status"] == 2, verdict
size = benchmark["sizes"][0]
burst = size["back_to_back"]
queue, rate, top = 50, 250, 500
drained = queue / (1 - rate / top)
assert burst["top"] == {"fps": top, "is": "line rate"} and len(burst["bursts"]) == 2, burst
assert all(drained <= b <= drained + 8 for b in burst["bursts"]), (burst["bursts"], drained)
throughput = burst["throughput_fps"]
assert throughput == size["ndr"]["lower_fps"] > rate, throughput
assert abs(burst["implied_buffer_s"] - burst["average_burst"] / top) < 1e-9
assert abs(burst["corrected_buffer_s"] - burst["implied_buffer_s"] * (1 - throughput / top)) < 1e-9
steps = size["frame_loss"]["steps"]
assert [s["percent"] for s in steps] == [100 - 10 * i for i in range(len(steps))], steps
assert steps[0]["loss_percent"] > 0 and all(s["valid"] for s in steps), steps
assert steps[-1]["loss_percent"] == 0 and steps[-2]["loss_percent"] == 0, steps
recovery = size["recovery"]
assert recovery["overload_fps"] == int(throughput * 1.1) and recovery["low_fps"] == recovery["overload_fps"] // 2
# The frame or two that leave just after the drop can still meet the full queue.
assert recovery["lost_in_overload"] > 0 and recovery["recovered"] and recovery["recovery_s"] <= 0.03, recovery
print(f"queue {queue} frames, shaper {rate} frames/s, line {top} frames/s: bursts {burst['bursts']}"
      f" (queue plus drain {drained:.0f}), buffer {burst['implied_buffer_s'] * 1e3:.1f} ms,"
      f" corrected {burst['corrected_buffer_s'] * 1e3:.1f} ms at throughput {throughput:.0f};"
      f" frame loss steps {[s['percent'] for s in steps]}; recovery {recovery['recovery_s']} s; {sys.argv[2]} s")
PY
