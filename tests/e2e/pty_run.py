#!/usr/bin/env python3
"""Runs a command with standard error, or standard error and output, on a pseudo-terminal,
and shows what a terminal would display of it.

  pty_run.py run stderr|both TRANSCRIPT COMMAND...   the bytes the terminal got go to
                                                     TRANSCRIPT; exits with the command's status
  pty_run.py render TRANSCRIPT                       prints the lines the terminal shows: a
                                                     carriage return goes back to column 0 and
                                                     later characters overwrite earlier ones
  pty_run.py progress TRANSCRIPT                     checks the progress lines of a transcript of
                                                     standard error alone and prints one line
                                                     per cycle: cycle, drawings, last frame count
"""

import os
import re
import pty
import subprocess
import sys


def run(mode, transcript, command):
    master, slave = pty.openpty()
    stdout = slave if mode == "both" else None
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout, stderr=slave)
    os.close(slave)
    received = bytearray()
    try:
        while chunk := os.read(master, 65536):
            received += chunk
    except OSError:  # EIO: the last holder of the terminal's other end has closed it
        pass
    with open(transcript, "wb") as out:
        out.write(received)
    return child.wait()


def render(transcript):
    with open(transcript, "rb") as source:
        text = source.read().decode("utf-8", errors="replace")
    lines = [[]]
    column = 0
    for char in text:
        if char == "\n":
            # The terminal's output processing sends \r\n for \n (onlcr) in any case.
            lines.append([])
            column = 0
        elif char == "\r":
            column = 0
        else:
            line = lines[-1]
            if column < len(line):
                line[column] = char
            else:
                line.extend(" " * (column - len(line)))
                line.append(char)
            column += 1
    if not lines[-1]:
        lines.pop()
    for line in lines:
        print("".join(line))


PROGRESS = re.compile(r"Cyklus (\d+) z (\d+): (\d+\.\d) s z (\d+\.\d) s, zachyceno (\d+) paketu")


def progress(transcript):
    """Every drawing starts with \r and is one progress text (padded with spaces); every cycle's
    drawings end with a wipe (\r, spaces, \r) before the next cycle's, and the last is wiped too.
    Within a cycle time and count never go back and drawings are at least 0.2 s apart."""
    with open(transcript, "rb") as source:
        text = source.read().decode("ascii")
    if not text.startswith("\r") or not text.endswith("\r"):
        sys.exit("progress: the transcript does not start and end with a carriage return")
    cycles = []  # [cycle, drawings, last elapsed, last count, wiped]
    for part in text[1:-1].split("\r"):
        if part == "":  # a wipe's last carriage return before the next drawing's first
            continue
        if part.strip() == "":
            if not cycles or cycles[-1][4]:
                sys.exit("progress: a wipe where nothing is shown: %r" % part)
            cycles[-1][4] = True
            continue
        found = PROGRESS.fullmatch(part.rstrip(" "))
        if not found:
            sys.exit("progress: not a progress line: %r" % part)
        cycle, elapsed, count = int(found[1]), float(found[3]), int(found[5])
        if cycles and cycles[-1][0] == cycle and not cycles[-1][4]:
            last = cycles[-1]
            if elapsed < last[2] + 0.2 - 1e-9 or count < last[3]:
                sys.exit("progress: cycle %d drawn too often or going back: %r" % (cycle, part))
            last[1:4] = [last[1] + 1, elapsed, count]
        elif cycles and not cycles[-1][4]:
            sys.exit("progress: cycle %d drawn before cycle %d was wiped" % (cycle, cycles[-1][0]))
        else:
            cycles.append([cycle, 1, elapsed, count, False])
    if not cycles or not cycles[-1][4]:
        sys.exit("progress: the last progress line is not wiped")
    for cycle, drawings, _, count, _ in cycles:
        print(cycle, drawings, count)


if __name__ == "__main__":
    if len(sys.argv) >= 5 and sys.argv[1] == "run" and sys.argv[2] in ("stderr", "both"):
        sys.exit(run(sys.argv[2], sys.argv[3], sys.argv[4:]))
    if len(sys.argv) == 3 and sys.argv[1] == "render":
        render(sys.argv[2])
        sys.exit(0)
    if len(sys.argv) == 3 and sys.argv[1] == "progress":
        progress(sys.argv[2])
        sys.exit(0)
    sys.exit(__doc__)
