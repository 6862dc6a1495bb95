#!/usr/bin/env python3
"""Joins a run's kernel-stamped frames to tcpdump's nanosecond captures of both veths.

Usage: stampjoin.py RESULTS.json RECEIVED.pcap SENT.pcap
Prints one line: the reported delay p50 p99, tcpdump's (leaving the sending veth to arriving)
p50 p99, the reported lag of the kernel's stamp behind the sender's p50 p99, and tcpdump's
(leaving stamp minus the send time in the frame) p50 p99, in nanoseconds, over the stamped
frames both captures hold; then the number of those frames.
"""

import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from resultscheck import kernel_stamp_times, nearest_rank  # noqa: E402


def main():
    document = json.load(open(sys.argv[1]))
    figures = document["cycles"][0]["streams"][0]
    every = figures["send_stamps"]["every"]
    arriving = kernel_stamp_times(sys.argv[2], 1)
    leaving = kernel_stamp_times(sys.argv[3], 1)
    joined = [key for key in arriving if key[1] % every == 0 and key in leaving]
    delays = sorted(arriving[key][0] - leaving[key][0] for key in joined)
    lags = sorted(leaving[key][0] - leaving[key][1] for key in joined)
    reported_delay, reported_lag = figures["delay_ns"], figures["send_stamps"]["lag_ns"]
    print("%.0f %.0f %d %d %.0f %.0f %d %d %d" % (
        reported_delay["p50"], reported_delay["p99"], nearest_rank(delays, 5000), nearest_rank(delays, 9900),
        reported_lag["p50"], reported_lag["p99"], nearest_rank(lags, 5000), nearest_rank(lags, 9900), len(joined)))


if __name__ == "__main__":
    main()
