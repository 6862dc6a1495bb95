#!/usr/bin/env python3
"""Checks a results file (trafficgen --json) against the tables the same run printed and,
with --capture, against an independent tcpdump capture of the receiving interface.

    resultscheck.py RESULTS.json OUT [--capture PCAP --sent-capture PCAP]
                    [--interrupted] [--kernel-stamps]

Against the tables: every key of the contract is there, and every number, formatted as the
table formats it, is the table's text. Against the captures: the frames of each stream, in
arrival order and split into cycles by the document's received counts, give the same delay
minimum, maximum and mean, percentiles (nearest rank) and RFC 3550 jitter, each recomputed from
the frames' send stamps and tcpdump's capture times. The receiving side's capture stamps every
frame after the program does, by a varying amount (mostly a few microseconds, now and then over
a hundred); the sending side's capture stamps it before the frame reaches the receiving
interface. Each order statistic (minimum, maximum, percentile) of the program's own stamps
therefore lies between the two captures' figures, whatever the single stamps differ by; the
mean and the jitter are allowed TOLERANCE_US microseconds. Exits 1 on the first failure.
"""

import argparse
import json
import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pcapcheck import read_pcap  # noqa: E402

TOP_KEYS = ["schema", "version", "started", "ended", "interrupted", "test", "cycles"]
TEST_KEYS = ["operation", "sending_interface", "receiving_interface", "destination_mac",
             "source_mac", "duration_us", "cycles", "confidence_probability", "quantile",
             "loss_timeout_us", "streams"]
ROW_KEYS = ["stream", "sent", "received", "refused", "loss_percent", "throughput_MBps",
            "throughput_bps", "delay_us"]
PERCENTILES = [("p50", 5000), ("p90", 9000), ("p99", 9900), ("p99_9", 9990), ("p99_99", 9999)]
DELAY_KEYS = ["min", "max", "mean", "variance"] + [k for k, _ in PERCENTILES] + ["jitter"]
STAT_DELAY_KEYS = ["min", "max", "mean", "variance", "ci"] + [k for k, _ in PERCENTILES]
# The largest delay (us) of tcpdump's stamp after the program's.
TOLERANCE_US = 50.0


def fail(message):
    print("resultscheck: " + message, file=sys.stderr)
    sys.exit(1)


def expect_keys(obj, keys, where):
    missing = [k for k in keys if k not in obj]
    if missing:
        fail("%s lacks %s" % (where, ", ".join(missing)))


# ---------------------------------------------------------------- the tables

def single(value):
    """The single-precision number the document's shortest digits stand for."""
    return struct.unpack("f", struct.pack("f", value))[0]


def general(value):
    """A float as the tables print it with 3 significant digits (iostream default)."""
    return "nan" if value is None else "%.3g" % single(value)


def fixed(value):
    return "nan" if value is None else "%.3f" % single(value)


def same_text(table, ours):
    # NaN prints as "nan" or "-nan", an infinity as "inf".
    if ours == "nan":
        return table in ("nan", "-nan", "inf", "-inf")
    return table == ours


def table_rows(out):
    rows = {}
    for line in out.splitlines():
        cells = line.split("|")
        if len(cells) == 12 and cells[1].strip().isdigit() and cells[2].strip().isdigit():
            values = [c.strip() for c in cells[1:11]]
            rows[(int(values[0]), int(values[1]))] = values[2:]
    return rows


def statistics_rows(out, title):
    rows, inside = {}, False
    for line in out.splitlines():
        if line in ("Statistika ztrat", "Statistika zpozdeni"):
            inside = line == title
            continue
        cells = line.split("|")
        if inside and len(cells) > 2 and cells[1].strip().isdigit():
            values = [c.strip() for c in cells[1:-1]]
            rows[int(values[0])] = values[1:]
    return rows


def interval_text(ci):
    return "<%s, %s>" % (fixed(ci[0]), fixed(ci[1]))


def check_against_tables(document, out):
    rows = table_rows(out)
    for cycle in document["cycles"]:
        expect_keys(cycle, ["cycle", "capture_dropped", "streams"], "cycle")
        for figures in cycle["streams"]:
            expect_keys(figures, ROW_KEYS, "cycle %d stream" % cycle["cycle"])
            expect_keys(figures["delay_us"], DELAY_KEYS, "delay_us")
            key = (cycle["cycle"], figures["stream"])
            if key not in rows:
                fail("no table row for cycle %d, stream %d" % key)
            delay = figures["delay_us"]
            nothing = figures["received"] == 0
            ours = [str(figures["received"]), str(figures["sent"] or 0), general(figures["loss_percent"]),
                    fixed(figures["throughput_MBps"]),
                    "4294967295" if nothing else str(delay["min"]), "0" if nothing else str(delay["max"]),
                    "0.000" if nothing else fixed(delay["mean"]), fixed(delay["variance"])]
            names = ["received", "sent", "loss", "throughput", "min", "max", "mean", "variance"]
            for name, table, mine in zip(names, rows.pop(key), ours):
                if not same_text(table, mine):
                    fail("cycle %d, stream %d: %s is %s in the table, %s in the document"
                         % (key + (name, table, mine)))
            rate = figures["throughput_MBps"]
            if rate is not None and figures["throughput_bps"] != single(rate) * 8 * 1048576:
                fail("cycle %d, stream %d: throughput_bps is not throughput_MBps * 8 * 2^20" % key)
    if rows:
        fail("table rows without a document entry: %s" % sorted(rows))

    statistics = document.get("statistics")
    if document["test"]["cycles"] <= 1:
        if statistics is not None:
            fail("statistics in a one-cycle document")
        return
    loss_rows = statistics_rows(out, "Statistika ztrat")
    delay_rows = statistics_rows(out, "Statistika zpozdeni")
    for stream in statistics:
        number = stream["stream"]
        loss, delay = stream["loss_percent"], stream["delay_us"]
        expect_keys(loss, ["min", "max", "mean", "ci"], "statistics loss_percent")
        expect_keys(delay, STAT_DELAY_KEYS, "statistics delay_us")
        ours = [general(loss["min"]), general(loss["max"]), general(loss["mean"]), interval_text(loss["ci"])]
        if loss_rows.get(number) != ours:
            fail("stream %d: loss statistics %s in the table, %s in the document" % (number, loss_rows.get(number), ours))
        ours = [str(delay["min"]), str(delay["max"]), fixed(delay["mean"]), fixed(delay["variance"]),
                interval_text(delay["ci"])]
        table = delay_rows.get(number)
        if table is None or not all(same_text(t, o) for t, o in zip(table, ours)):
            fail("stream %d: delay statistics %s in the table, %s in the document" % (number, table, ours))
        twin = stream["delay_ns"]
        for name in ("min", "max"):
            if (twin[name] is None) != (delay[name] is None) or twin[name] is not None and twin[name] // 1000 != delay[name]:
                fail("stream %d: statistics delay_ns %s %s is not delay_us %s %s" % (number, name, twin[name], name, delay[name]))


# ---------------------------------------------------------------- the capture

def nearest_rank(sorted_delays, per_ten_thousand):
    rank = max(1, (len(sorted_delays) * per_ten_thousand + 9999) // 10000)
    return sorted_delays[rank - 1]


def jitter(transits):
    value = 0.0
    for previous, current in zip(transits, transits[1:]):
        value += (abs(current - previous) - value) / 16
    return value


def captured_frames(path, streams):
    """Per stream, in capture order: (the frame's stream letter and send stamp, its delay)."""
    frames = [[] for _ in range(streams)]
    for captured_ns, _, frame in read_pcap(path):
        index = frame[42] - ord("A")
        if 0 <= index < streams:
            frames[index].append((bytes(frame[42:59]), captured_ns // 1000 - send_time_us(frame)))
    return frames


def send_time_us(frame):
    sent_sec = int.from_bytes(frame[43:51], "little", signed=True)
    return sent_sec * 1000000 + int.from_bytes(frame[51:59], "little", signed=True)


def delays_on_leaving(received, path, streams):
    """The delays of the received frames (in their order) up to the sending side's capture."""
    leaving = {}
    for stream in captured_frames(path, streams):
        for key, delay in stream:
            leaving.setdefault(key, []).append(delay)
    delays = []
    for stream in received:
        delays.append([])
        for key, _ in stream:
            if not leaving.get(key):
                fail("a frame of stream %d received but not in the sending side's capture" % (key[0] - 64))
            delays[-1].append(leaving[key].pop(0))
    return delays


def check(what, reported, recomputed, error, where, above=TOLERANCE_US):
    """A mean or a jitter: the receiving side's tcpdump socket gets every frame after the
    program's own, so its figure may be above the document's by up to ABOVE, and below it only
    by its own ERROR."""
    if not -error <= recomputed - reported <= above + error:
        fail("%s: %s is %s in the document, %s from the capture (allowed: %.2f below, %.2f above)"
             % (where, what, reported, recomputed, above + error, error))


def between(what, reported, leaving, arriving, error, where):
    """An order statistic: from the frames' leaving (sending side) to their arrival, give or
    take the histogram's ERROR."""
    if not leaving - error <= reported <= arriving + error:
        fail("%s: %s is %s in the document, %s to %s from the captures (allowed: %.2f beyond)"
             % (where, what, reported, leaving, arriving, error))


def histogram_error(delay):
    """How far a percentile of the program's histogram may lie from the delay (us) it stands
    for: the centre of the delay's bucket of nanoseconds (every delay below 128 ns has a bucket
    of its own; above, each power of two is split into 64 buckets). No larger for any delay
    below `delay`."""
    nanoseconds = int(delay * 1000)
    if nanoseconds < 128:
        return 0.0
    width = 1 << (nanoseconds.bit_length() - 7)
    return (width - 1) / 2 / 1000


def check_percentiles(reported, delays, leaving, where):
    ordered = sorted(delays)
    ordered_leaving = sorted(leaving)
    previous = ordered[0]
    for key, share in PERCENTILES:
        exact = nearest_rank(ordered, share)
        # Within the histogram's error of the exact percentile of the document's own stamps,
        # which lies between the two captures' percentiles.
        between(key, reported[key], nearest_rank(ordered_leaving, share), exact, histogram_error(exact), where)
        if reported[key] < previous:
            fail("%s: %s %s is below the previous percentile or the minimum %s" % (where, key, reported[key], previous))
        previous = reported[key]
    # Below 10000 frames the 99.99th percentile is the largest delay.
    if len(ordered) < 10000 and "max" in reported and reported["max"] is not None:
        if abs(reported["p99_99"] - reported["max"]) > max(0.01 * reported["max"], 1.0):
            fail("%s: p99_99 %s is not the maximum %s of fewer than 10000 frames"
                 % (where, reported["p99_99"], reported["max"]))


def check_against_capture(document, path, sent_path):
    streams = len(document["test"]["streams"])
    received = captured_frames(path, streams)
    delays = [[delay for _, delay in stream] for stream in received]
    leaving = delays_on_leaving(received, sent_path, streams)
    for index in range(streams):
        stream = index + 1
        counts = [f["received"] for c in document["cycles"] for f in c["streams"] if f["stream"] == stream]
        if sum(counts) != len(delays[index]):
            fail("stream %d: %d frames in the capture, %d received in the document"
                 % (stream, len(delays[index]), sum(counts)))
        position = 0
        for cycle in document["cycles"]:
            figures = next(f for f in cycle["streams"] if f["stream"] == stream)
            own = delays[index][position:position + figures["received"]]
            own_leaving = leaving[index][position:position + figures["received"]]
            position += figures["received"]
            if not own:
                continue
            where = "cycle %d, stream %d" % (cycle["cycle"], stream)
            reported = figures["delay_us"]
            between("min", reported["min"], min(own_leaving), min(own), 0, where)
            between("max", reported["max"], max(own_leaving), max(own), 0, where)
            check("mean", reported["mean"], sum(own) / len(own), 0.001, where)
            check_percentiles(reported, own, own_leaving, where)
            # Later stamps by a varying amount add to the changes of transit time.
            check("jitter", reported["jitter"], jitter(own), 0.5 + 0.25 * reported["jitter"], where, TOLERANCE_US / 4)
        if document["test"]["cycles"] > 1 and delays[index]:
            statistics = document["statistics"][index]["delay_us"]
            check_percentiles(statistics, delays[index], leaving[index], "stream %d over the run" % stream)


def kernel_stamp_times(path, streams):
    """(stream index, sequence number) -> (capture time in ns, the sender's stamp in ns) of a
    capture with nanosecond stamps; the first copy of each frame."""
    times = {}
    for stamp_ns, _, frame in read_pcap(path):
        index = frame[42] - ord("A")
        if 0 <= index < streams and len(frame) >= 63:
            number = int.from_bytes(frame[59:63], "little")
            times.setdefault((index, number), (stamp_ns, send_time_us(frame) * 1000))
    return times


def check_kernel_stamps(document, path, sent_path):
    """With send stamps of the kernel (one cycle): the reported delays' p50 and p99 against the
    delays from tcpdump's stamp of each stamped frame leaving the sending interface to its stamp
    arriving, and the reported lag of the kernel's stamp behind the sender's against tcpdump's
    leaving stamp behind it; each within 1 us or 10 %, whichever is larger."""
    streams = len(document["test"]["streams"])
    leaving = kernel_stamp_times(sent_path, streams)
    arriving = kernel_stamp_times(path, streams)
    lines = []
    for figures in document["cycles"][0]["streams"]:
        index = figures["stream"] - 1
        where = "stream %d" % figures["stream"]
        if figures["stamp_source"] != "kernel":
            fail("%s: stamp source %s" % (where, figures["stamp_source"]))
        stamps = figures["send_stamps"]
        every = stamps["every"]
        joined = [key for key in arriving if key[0] == index and key[1] % every == 0 and key in leaving]
        if stamps["missing"] != 0 or stamps["expected"] != len(joined):
            fail("%s: %d stamped frames expected, %d missing; tcpdump saw %d"
                 % (where, stamps["expected"], stamps["missing"], len(joined)))
        delays = sorted(arriving[key][0] - leaving[key][0] for key in joined)
        lags = sorted(leaving[key][0] - leaving[key][1] for key in joined)
        for name, reported, ours in (("delay", figures["delay_ns"], delays),
                                     ("lag", stamps["lag_ns"], lags)):
            for key, share in (("p50", 5000), ("p99", 9900)):
                expected = nearest_rank(ours, share)
                if abs(reported[key] - expected) > max(1000, 0.1 * expected):
                    fail("%s: %s %s is %s ns, tcpdump's %s ns" % (where, name, key, reported[key], expected))
                lines.append("%s %s %s: %.0f vs tcpdump %.0f ns" % (where, name, key, reported[key], expected))
    print("kernel stamps: " + "; ".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("out", help="standard output of the same run")
    parser.add_argument("--capture", help="tcpdump capture of the receiving interface")
    parser.add_argument("--sent-capture", help="tcpdump capture of the sending interface (with --capture)")
    parser.add_argument("--interrupted", action="store_true", help="the run was interrupted")
    parser.add_argument("--kernel-stamps", action="store_true",
                        help="the captures have nanosecond stamps; compare the kernel-stamped delays")
    args = parser.parse_args()

    with open(args.results) as f:
        text = f.read()
    document = json.loads(text, parse_constant=lambda name: fail("%s in the document" % name))
    with open(args.out) as f:
        out = f.read()
    expect_keys(document, TOP_KEYS, "the document")
    expect_keys(document["test"], TEST_KEYS, "test")
    if document["schema"] != "trafficgen-results/1":
        fail("schema %r" % document["schema"])
    if document["interrupted"] != args.interrupted:
        fail("interrupted is %s" % document["interrupted"])
    check_against_tables(document, out)
    print("tables: every figure agrees")
    if args.kernel_stamps:
        check_kernel_stamps(document, args.capture, args.sent_capture)
    elif args.capture:
        check_against_capture(document, args.capture, args.sent_capture)
        print("capture: every delay figure agrees")


if __name__ == "__main__":
    main()
