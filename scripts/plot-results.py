#!/usr/bin/python3
"""Draws a trafficgen results file (trafficgen --json FILE).

    scripts/plot-results.py RESULTS.json OUT.png

One row per stream: on the left the loss of every cycle with the confidence interval of the
mean loss (when the run had more than one cycle), on the right the delay's median, 99th
percentile and maximum of every cycle on a logarithmic axis. A run with sequence numbers whose
frames came duplicated or out of order gets a third column: duplicates and reordered frames of
every cycle. A benchmark (--benchmark) gets one row per frame size instead: the loss and the
delay's median and 99th percentile of every trial against its offered load, the non-drop and the
partial-drop rate marked; trials that were not results of the device (the tester's limits) are
drawn as grey crosses. With per-interval figures (--interval) every stream gets one more row: the
loss and the information rate of every interval over the run's time. A service test
(--service-test) gets one row per service: its offered and received rate, its loss and its mean
delay and delay variation over the configuration steps and then the performance test's seconds,
failed steps marked red. Needs python3-matplotlib.
"""

import json
import math
import os
import sys

SCHEMA = "trafficgen-results/1"


def value(number):
    """A number of the document; null (no value) becomes NaN, which matplotlib leaves out."""
    return math.nan if number is None else float(number)


def positive(number):
    """For the logarithmic axis: 0 us cannot be drawn there."""
    number = value(number)
    return number if number > 0 else math.nan


def stream_series(document, stream):
    cycles, loss, p50, p99, maximum = [], [], [], [], []
    for cycle in document["cycles"]:
        for figures in cycle["streams"]:
            if figures["stream"] != stream:
                continue
            cycles.append(cycle["cycle"])
            loss.append(value(figures["loss_percent"]))
            delay = figures["delay_us"]
            p50.append(positive(delay["p50"]))
            p99.append(positive(delay["p99"]))
            maximum.append(positive(delay["max"]))
    return cycles, loss, p50, p99, maximum


def sequence_series(document, stream):
    """Duplicates and reordered frames of every cycle; empty without sequence numbers."""
    cycles, duplicates, reordered = [], [], []
    for cycle in document["cycles"]:
        for figures in cycle["streams"]:
            if figures["stream"] == stream and "duplicates" in figures:
                cycles.append(cycle["cycle"])
                duplicates.append(figures["duplicates"])
                reordered.append(figures["reordered"])
    return cycles, duplicates, reordered


def draw_sequence(axes, stream, cycles, duplicates, reordered):
    axes.plot(cycles, reordered, "o-", color="tab:purple", label="reordered")
    axes.plot(cycles, duplicates, "s-", color="tab:green", label="duplicates")
    axes.set_ylim(bottom=0)
    axes.set_title("Stream %d: duplicates and reordering" % stream)
    axes.set_xlabel("cycle")
    axes.set_ylabel("frames")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize="small")


def draw_loss(axes, stream, cycles, loss, statistics):
    axes.plot(cycles, loss, "o-", color="tab:red", label="loss per cycle")
    if statistics is not None:
        low, high = (value(v) for v in statistics["loss_percent"]["ci"])
        mean = value(statistics["loss_percent"]["mean"])
        axes.axhspan(low, high, color="tab:red", alpha=0.15, label="confidence interval of the mean")
        axes.axhline(mean, color="tab:red", linestyle="--", linewidth=1, label="mean")
    # Loss cannot fall below 0 (but for duplicated frames); a lossless stream keeps a 0..1 % scale.
    shown = [v for v in loss if not math.isnan(v)] + ([low, high] if statistics is not None else [])
    shown = [v for v in shown if not math.isnan(v)]
    lowest, highest = min([0.0] + shown), max([1.0] + [v * 1.1 for v in shown])
    axes.set_ylim(lowest - 0.03 * (highest - lowest), highest)
    axes.set_title("Stream %d: loss" % stream)
    axes.set_xlabel("cycle")
    axes.set_ylabel("loss [%]")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize="small")


def draw_delay(axes, stream, cycles, p50, p99, maximum):
    axes.plot(cycles, maximum, "^-", color="tab:gray", label="max")
    axes.plot(cycles, p99, "s-", color="tab:orange", label="p99")
    axes.plot(cycles, p50, "o-", color="tab:blue", label="p50 (median)")
    axes.set_yscale("log")
    axes.set_title("Stream %d: one-way delay" % stream)
    axes.set_xlabel("cycle")
    axes.set_ylabel("delay [us]")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")


def trial_series(size, valid):
    """Offered load, loss, p50 and p99 of the trials that were (or were not) device results."""
    loads, loss, p50, p99 = [], [], [], []
    for trial in size["trials"]:
        # A burst's or a dropping load's loss is not that of a steady load: left out.
        if trial["valid"] != valid or trial["phase"] in ("back-to-back", "recovery"):
            continue
        target = value(trial["target_fps"])
        # The probe offers no set load (back to back): what the senders achieved stands for it.
        loads.append(target if math.isfinite(target) else value(trial["achieved_fps"]))
        loss.append(value(trial["loss_percent"]))
        p50.append(positive(trial["delay_us"]["p50"]))
        p99.append(positive(trial["delay_us"]["p99"]))
    return loads, loss, p50, p99


def mark_rates(axes, size):
    for name, style in (("ndr", "-"), ("pdr", "--")):
        rate = size[name]
        if value(rate["lower_fps"]) > 0:
            axes.axvline(value(rate["lower_fps"]), color="tab:green", linestyle=style, linewidth=1,
                         label="%s %.0f frames/s (%s)" % (name.upper(), value(rate["lower_fps"]),
                                                          rate["limited_by"]))


def size_name(size):
    if size["frame_size"] is None:
        return "configured frames (mean %.0f B)" % value(size["mean_frame_size"])
    return "%d-byte frames" % size["frame_size"]


def draw_benchmark_size(row, size):
    loads, loss, p50, p99 = trial_series(size, True)
    bad_loads, bad_loss, bad_p50, bad_p99 = trial_series(size, False)
    left, right = row
    left.plot(loads, loss, "o", color="tab:red", label="loss per trial")
    left.plot(bad_loads, bad_loss, "x", color="tab:gray", label="not a device result")
    left.set_title("%s: loss against offered load" % size_name(size))
    left.set_ylabel("loss [%]")
    right.plot(loads, p99, "s", color="tab:orange", label="p99")
    right.plot(loads, p50, "o", color="tab:blue", label="p50 (median)")
    right.plot(bad_loads, bad_p50, "x", color="tab:gray", label="not a device result (p50)")
    right.set_yscale("log")
    right.set_title("%s: one-way delay against offered load" % size_name(size))
    right.set_ylabel("delay [us]")
    for axes in row:
        mark_rates(axes, size)
        axes.set_xlabel("offered load [frames/s]")
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize="small")


def draw_benchmark(document, plt):
    sizes = document["benchmark"]["sizes"]
    rows = max(len(sizes), 1)
    figure, axes = plt.subplots(rows, 2, figsize=(12, 3.6 * rows), squeeze=False)
    for row, size in enumerate(sizes):
        draw_benchmark_size(axes[row], size)
    line = document["benchmark"]["line_rate_bps"]
    title = "trafficgen %s benchmark: %s -> %s, line rate %s, started %s" % (
        document["version"], document["test"]["sending_interface"]["name"],
        document["test"]["receiving_interface"]["name"],
        "unknown" if line is None else "%.6g Mbit/s" % (line / 1e6), document["started"])
    if document["interrupted"]:
        title += " (interrupted)"
    figure.suptitle(title)
    return figure


def interval_series(document, stream):
    """Start (s from the first cycle's start, cycles end to end), loss and rate of every interval."""
    starts, loss, rate = [], [], []
    offset = 0.0
    for cycle in document["cycles"]:
        for figures in cycle["streams"]:
            if figures["stream"] != stream:
                continue
            for interval in figures.get("intervals", []):
                starts.append(offset + interval["start_ms"] / 1000)
                loss.append(value(interval["loss_percent"]))
                rate.append(value(interval["rate_bps"]) / 1e6)
        offset += document["test"]["duration_us"] / 1e6
    return starts, loss, rate


def draw_intervals(row, stream, series):
    starts, loss, rate = series
    row[0].step(starts, loss, where="post", color="tab:red")
    row[0].set_title("stream %d: loss per interval" % stream)
    row[0].set_ylabel("loss [%]")
    row[1].step(starts, rate, where="post", color="tab:blue")
    row[1].set_title("stream %d: information rate per interval" % stream)
    row[1].set_ylabel("rate [Mbit/s]")
    for axes in row:
        axes.set_xlabel("departure time [s]")
        axes.grid(True, alpha=0.3)


def draw_service(row, service):
    names, offered, received, loss, ftd, fdv, failed = [], [], [], [], [], [], []
    for step in service["configuration"]:
        names.append("%g%%" % step["percent"] if step["step"] == "cir" else step["step"])
        offered.append(step["offered_bps"] / 1e6)
        received.append(value(step["received_bps"]) / 1e6)
        loss.append(value(step["loss_percent"]))
        ftd.append(positive(step["ftd_us"]))
        fdv.append(positive(step["fdv_us"]))
        failed.append(step["verdict"] == "device failed")
    performance = service.get("performance") or {}
    for second in performance.get("intervals", []):
        names.append("%ds" % round(second["start_ms"] / 1000))
        offered.append(service["cir_bps"] / 1e6)
        received.append(value(second["rate_bps"]) / 1e6)
        loss.append(value(second["loss_percent"]))
        ftd.append(float("nan"))
        fdv.append(float("nan"))
        failed.append(False)
    x = list(range(len(names)))
    row[0].plot(x, offered, "o--", label="offered", color="tab:grey")
    row[0].plot(x, received, "o-", label="received", color="tab:blue")
    row[0].set_ylabel("rate [Mbit/s]")
    row[1].plot(x, loss, "o-", color="tab:red")
    row[1].set_ylabel("loss [%]")
    row[2].plot(x, ftd, "o-", label="FTD (mean)")
    row[2].plot(x, fdv, "s-", label="FDV")
    row[2].set_ylabel("delay [us]")
    for axes in row:
        axes.set_xticks(x)
        axes.set_xlim(-0.5, len(names) - 0.5)
        axes.set_xticklabels(names, rotation=60, fontsize="x-small")
        for index, bad in enumerate(failed):
            if bad:
                axes.axvspan(index - 0.4, index + 0.4, color="tab:red", alpha=0.15)
        axes.grid(True, alpha=0.3)
    row[0].set_title("service %d (%s): rate" % (service["stream"], service["verdict"]))
    row[1].set_title("service %d: loss" % service["stream"])
    row[2].set_title("service %d: delay" % service["stream"])
    row[0].legend(fontsize="small")
    row[2].legend(fontsize="small")


def draw_service_test(document, plt):
    services = document["service_test"]["services"]
    rows = max(len(services), 1)
    figure, axes = plt.subplots(rows, 3, figsize=(16, 3.8 * rows), squeeze=False)
    for row, service in enumerate(services):
        draw_service(axes[row], service)
    figure.suptitle("trafficgen %s service test (ITU-T Y.1564): %s, started %s" % (
        document["version"], document["service_test"]["verdict"], document["started"]))
    return figure


def main():
    if len(sys.argv) != 3:
        print("usage: %s RESULTS.json OUT.png" % os.path.basename(sys.argv[0]), file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        document = json.load(f)
    if document.get("schema") != SCHEMA:
        print("%s: %s is not a %s document" % (os.path.basename(sys.argv[0]), sys.argv[1], SCHEMA),
              file=sys.stderr)
        return 1

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    if "service_test" in document:
        figure = draw_service_test(document, plt)
        figure.tight_layout()
        figure.savefig(sys.argv[2], dpi=100)
        return 0
    if "benchmark" in document:
        figure = draw_benchmark(document, plt)
        figure.tight_layout()
        figure.savefig(sys.argv[2], dpi=100)
        return 0

    streams = [s["stream"] for s in document["test"]["streams"]]
    statistics = {s["stream"]: s for s in document.get("statistics", [])}
    intervals = {stream: interval_series(document, stream) for stream in streams}
    interval_rows = [stream for stream in streams if intervals[stream][0]]
    rows = max(len(streams) + len(interval_rows), 1)
    sequences = {stream: sequence_series(document, stream) for stream in streams}
    disorder = any(sum(d) + sum(r) > 0 for _, d, r in sequences.values())
    columns = 3 if disorder else 2
    figure, axes = plt.subplots(rows, columns, figsize=(6 * columns, 3.2 * rows), squeeze=False)
    for row, stream in enumerate(streams):
        cycles, loss, p50, p99, maximum = stream_series(document, stream)
        draw_loss(axes[row][0], stream, cycles, loss, statistics.get(stream))
        draw_delay(axes[row][1], stream, cycles, p50, p99, maximum)
        if disorder:
            draw_sequence(axes[row][2], stream, *sequences[stream])
        for each in axes[row]:
            each.xaxis.set_major_locator(MaxNLocator(integer=True))
    for row, stream in enumerate(interval_rows, start=len(streams)):
        draw_intervals(axes[row], stream, intervals[stream])
        for extra in axes[row][2:]:
            extra.set_visible(False)

    test = document["test"]
    title = "trafficgen %s: %s -> %s, %d cycle(s) of %.3g s, started %s" % (
        document["version"], test["sending_interface"]["name"],
        test["receiving_interface"]["name"], len(document["cycles"]),
        test["duration_us"] / 1e6, document["started"])
    if document["interrupted"]:
        title += " (interrupted)"
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main())
