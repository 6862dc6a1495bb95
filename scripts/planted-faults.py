#!/usr/bin/env python3
"""Plants known faults in the sources one at a time and reports which ones the tests catch.

Each fault in tests/planted-faults.txt replaces one exact text in one source file. For every
fault the sources are changed, built in a build directory of their own (build-faults), and the
unit tests run; when they pass, the end-to-end tests the fault names run too. The file is
restored after every fault, also after an error or Ctrl-C. A fault whose text is no longer found,
or whose change does not build, is reported as such: it says nothing of the tests.

Usage: scripts/planted-faults.py [--list FILE] [--only ID[,ID...]] [--report FILE]
Needs root for the end-to-end tests, like scripts/test.sh.
"""

import argparse
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build-faults"


def read_faults(path):
    """Blocks of `key: value` lines separated by blank lines; '#' starts a comment line."""
    faults, current = [], {}
    for line in path.read_text().splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if current:
                faults.append(current)
                current = {}
            continue
        key, _, value = line.partition(":")
        current[key.strip()] = value[1:] if value.startswith(" ") else value
    for fault in faults:
        missing = {"id", "file", "find", "replace"} - fault.keys()
        if missing:
            sys.exit(f"fault {fault.get('id', '?')}: missing {', '.join(sorted(missing))}")
    return faults


def run(command, timeout):
    """"passed", "failed" or "timed out"."""
    try:
        done = subprocess.run(command, cwd=BUILD, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout)
        return "passed" if done.returncode == 0 else "failed"
    except subprocess.TimeoutExpired:
        return "timed out"


def configure():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD),
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)


def build():
    return run(["cmake", "--build", ".", "-j2"], 1800) == "passed"


def program_builds():
    """The program alone: a full build also fails when a test program cannot list its tests."""
    return run(["cmake", "--build", ".", "-j2", "--target", "trafficgen"], 1800) == "passed"


def caught(stage, outcome):
    return f"caught ({stage})" if outcome == "failed" else f"caught ({stage}, {outcome})"


def verdict(fault):
    """Plants one fault, builds, tests; returns what happened."""
    source = ROOT / fault["file"]
    original = source.read_text()
    find = fault["find"].replace("\\n", "\n")
    if original.count(find) != 1:
        return "text not found once"
    try:
        source.write_text(original.replace(find, fault["replace"].replace("\\n", "\n")))
        if not build():
            # A test program that fails while listing its tests stops the build after the
            # program itself was built: that is a test failing, not a change that does not build.
            return caught("unit", "failed") if program_builds() else "does not build"
        unit = run(["ctest", "-L", "unit", "-j2"], 900)
        if unit != "passed":
            return caught("unit", unit)
        e2e = fault.get("e2e", "").strip()
        if e2e:
            # --no-tests=error: a pattern that names no test must not pass for a miss.
            outcome = run(["ctest", "--no-tests=error", "-R", e2e], 1800)
            if outcome != "passed":
                return caught("e2e", outcome)
        return "MISSED"
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", default=str(ROOT / "tests" / "planted-faults.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--report", default="")
    args = parser.parse_args()
    faults = read_faults(pathlib.Path(args.list))
    if args.only:
        wanted = set(args.only.split(","))
        faults = [fault for fault in faults if fault["id"] in wanted]
    configure()
    if not build():
        sys.exit("the unchanged sources do not build")
    lines = ["| fault | file | verdict |", "|---|---|---|"]
    for fault in faults:
        started = time.monotonic()
        result = verdict(fault)
        lines.append(f"| {fault['id']} | {fault['file']} | {result} |")
        print(f"{fault['id']}: {result} ({time.monotonic() - started:.0f} s)", flush=True)
        # Written after every fault, so that an interrupted run keeps what it found.
        if args.report:
            pathlib.Path(args.report).write_text("\n".join(lines) + "\n")
    build()  # leave the build directory matching the sources
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
