#!/usr/bin/env python3
"""Decodes a capture file written by tcpdump and checks every test frame in it
field by field, independently of the program that sent the frames.

Prints one line per stream ("1 912" ...) with the count of frames seen (and with
--gaps the mean gap between their capture times in microseconds), after all checks
passed; on the first failure prints the reason and exits 1.

With --sequence the frames carry sequence numbers (bytes 59..62, least significant
first; the filler starts at byte 63) and one line per cycle and stream is printed:
"CYCLE STREAM FRAMES DISTINCT DUPLICATES REORDERED EXTENT NUMBERED", counted in capture
order: a duplicate is a number already seen, a frame is reordered when its number is
below the next expected one (one above the highest seen, RFC 4737), its extent is the
number of distinct frames between the first one numbered above it and itself, and
NUMBERED is the highest number plus one. A cycle begins again where a stream's send
time jumps more than 50 ms beyond all before while its number falls back.

With --headers (and only the capture file) the frames may be tagged or IPv6, and one line per
test frame is printed instead, in capture order, after its checksums and lengths were checked:
"STREAM NUMBER TAGS VERSION CLASS FLOWLABEL HOPLIMIT SRC SPORT DST DPORT" with TAGS the tags
outer first as TPID/PCP/VID joined by "," ("-" for none), CLASS the TOS or traffic class,
FLOWLABEL "-" for IPv4, NUMBER the sequence number.
"""

import argparse
import ipaddress
import bisect
import struct
import sys

PCAP_MAGIC_USEC = 0xA1B2C3D4
PCAP_MAGIC_NSEC = 0xA1B23C4D
LINKTYPE_ETHERNET = 1


def fail(message):
    print("pcapcheck: " + message, file=sys.stderr)
    sys.exit(1)


def read_pcap(path):
    """Yields (capture time in nanoseconds, original length, bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        fail("capture file %s is shorter than its global header" % path)
    for endian in ("<", ">"):
        magic = struct.unpack(endian + "I", data[:4])[0]
        if magic in (PCAP_MAGIC_USEC, PCAP_MAGIC_NSEC):
            break
    else:
        fail("%s is not a pcap file" % path)
    scale = 1 if magic == PCAP_MAGIC_NSEC else 1000
    linktype = struct.unpack(endian + "I", data[20:24])[0]
    if linktype != LINKTYPE_ETHERNET:
        fail("capture link type %d, expected Ethernet" % linktype)
    pos = 24
    while pos + 16 <= len(data):
        sec, frac, caplen, origlen = struct.unpack(endian + "IIII", data[pos:pos + 16])
        pos += 16
        frame = data[pos:pos + caplen]
        if len(frame) != caplen:
            fail("capture file ends inside a frame")
        pos += caplen
        yield sec * 1000000000 + frac * scale, origlen, frame


def internet_checksum(header):
    total = 0
    for i in range(0, len(header), 2):
        total += (header[i] << 8) | header[i + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def parse_mac(text):
    return bytes(int(part, 16) for part in text.replace("-", ":").split(":"))


def parse_ip(text):
    return bytes(ipaddress.ip_address(text).packed)


def sequence_counts(arrivals):
    """FRAMES DISTINCT DUPLICATES REORDERED EXTENT NUMBERED of one cycle's (number, send time)."""
    seen, distinct, highest = set(), [], []
    duplicates = reordered = extent = 0
    for number, _ in arrivals:
        if number in seen:
            duplicates += 1
            continue
        seen.add(number)
        if highest and number < highest[-1] + 1:
            reordered += 1
            # The first distinct arrival numbered above this one.
            first_above = bisect.bisect_right(highest, number)
            extent = max(extent, len(distinct) - first_above)
        distinct.append(number)
        highest.append(max(number, highest[-1]) if highest else number)
    return len(arrivals), len(distinct), duplicates, reordered, extent, highest[-1] + 1


def print_sequence_counts(cycles):
    for index, runs in enumerate(cycles):
        for cycle, (_, _, arrivals) in enumerate(runs, 1):
            # Numbered in the order they were sent.
            by_number = sorted(set(arrivals))
            if any(a[1] > b[1] for a, b in zip(by_number, by_number[1:])):
                fail("cycle %d, stream %d: a frame numbered higher was sent earlier" % (cycle, index + 1))
            print("%d %d %d %d %d %d %d %d" % ((cycle, index + 1) + sequence_counts(arrivals)))


def headers(path):
    """The --headers mode: one line per test frame of any layout."""
    for number, (_, origlen, frame) in enumerate(read_pcap(path), 1):
        where = "frame %d" % number
        at, tags = 12, []
        while frame[at:at + 2] in (b"\x81\x00", b"\x88\xa8"):
            tci = int.from_bytes(frame[at + 2:at + 4], "big")
            tags.append("%s/%d/%d" % (frame[at:at + 2].hex(), tci >> 13, tci & 0xFFF))
            at += 4
        kind, ip = frame[at:at + 2], at + 2
        if kind == b"\x86\xdd":
            first = int.from_bytes(frame[ip:ip + 4], "big")
            if first >> 28 != 6 or frame[ip + 6] != 17:
                fail("%s: not IPv6/UDP" % where)
            udp = ip + 40
            if int.from_bytes(frame[ip + 4:ip + 6], "big") != origlen - udp:
                fail("%s: IPv6 payload length %d in a %d-byte frame" % (where, int.from_bytes(frame[ip + 4:ip + 6], "big"), origlen))
            pseudo = frame[ip + 8:ip + 40] + (origlen - udp).to_bytes(4, "big") + b"\x00\x00\x00\x11"
            datagram = frame[udp:origlen] + (b"\x00" if (origlen - udp) % 2 else b"")
            if frame[udp + 6:udp + 8] == b"\x00\x00" or internet_checksum(pseudo + datagram) != 0xFFFF:
                fail("%s: UDP checksum wrong" % where)
            version, klass, label, hops = 6, (first >> 20) & 0xFF, str(first & 0xFFFFF), frame[ip + 7]
            src, dst = ipaddress.ip_address(frame[ip + 8:ip + 24]), ipaddress.ip_address(frame[ip + 24:ip + 40])
        elif kind == b"\x08\x00":
            udp = ip + 20
            if frame[ip] != 0x45 or internet_checksum(frame[ip:udp]) != 0xFFFF:
                fail("%s: IPv4 header or its checksum wrong" % where)
            if int.from_bytes(frame[ip + 2:ip + 4], "big") != origlen - ip:
                fail("%s: IPv4 total length wrong" % where)
            version, klass, label, hops = 4, frame[ip + 1], "-", frame[ip + 8]
            src, dst = ipaddress.ip_address(frame[ip + 12:ip + 16]), ipaddress.ip_address(frame[ip + 16:ip + 20])
        else:
            fail("%s: EtherType %s" % (where, kind.hex()))
        if int.from_bytes(frame[udp + 4:udp + 6], "big") != origlen - udp:
            fail("%s: UDP length wrong" % where)
        payload = udp + 8
        stream = frame[payload] - ord("A") + 1
        sequence = int.from_bytes(frame[payload + 17:payload + 21], "little")
        print(stream, sequence, ",".join(tags) or "-", version, klass, label, hops, src,
              int.from_bytes(frame[udp:udp + 2], "big"), dst, int.from_bytes(frame[udp + 2:udp + 4], "big"))


def main():
    if "--headers" in sys.argv:
        headers(sys.argv[1])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("capture")
    parser.add_argument("--mac", required=True, help="expected destination MAC")
    parser.add_argument("--src-mac", required=True, help="expected source MAC")
    parser.add_argument("--src", required=True, help="expected source IPv4 address")
    parser.add_argument("--dst", required=True, help="expected destination IPv4 address")
    parser.add_argument("--tos", required=True,
                        help="comma-separated TOS per stream, stream 1 first")
    parser.add_argument("--start", type=float, required=True,
                        help="wall-clock time (s) just before the program started")
    parser.add_argument("--end", type=float, required=True,
                        help="wall-clock time (s) just after the program ended")
    parser.add_argument("--size", action="append", default=[],
                        help="STREAM=LEN: every frame of the stream is LEN bytes long")
    parser.add_argument("--clamped", action="append", default=[], type=int,
                        help="STREAM whose sizes run below 59 and above 1500")
    parser.add_argument("--gaps", action="store_true",
                        help="also print each stream's mean gap between capture times (us)")
    parser.add_argument("--sequence", action="store_true",
                        help="frames carry sequence numbers; count them per cycle and stream")
    parser.add_argument("--max-delay", type=int, default=1000000,
                        help="longest delay (us) a frame may have on the path")
    args = parser.parse_args()
    shortest = 63 if args.sequence else 59
    filler_from = 63 if args.sequence else 59

    mac, src_mac = parse_mac(args.mac), parse_mac(args.src_mac)
    src, dst = parse_ip(args.src), parse_ip(args.dst)
    tos = [int(t) for t in args.tos.split(",")]
    streams = len(tos)
    fixed_size = {int(k): int(v) for k, v in (s.split("=") for s in args.size)}

    counts = [0] * streams
    lengths = [[] for _ in range(streams)]
    last_send = [None] * streams
    first_capture = [None] * streams
    last_capture = [None] * streams
    # Per stream and cycle: the highest send time and number so far, and the numbers in capture
    # order with their send times.
    cycles = [[] for _ in range(streams)]
    for number, (captured_ns, origlen, frame) in enumerate(read_pcap(args.capture), 1):
        where = "frame %d" % number
        if len(frame) != origlen:
            fail("%s: captured %d of %d bytes (snap length too small?)" % (where, len(frame), origlen))
        if len(frame) < shortest:
            fail("%s: only %d bytes long, a test frame has at least %d" % (where, len(frame), shortest))
        ip = frame[14:34]
        total_length, ident, flags, ttl, proto = struct.unpack(">HHHBB", ip[2:10])
        sport, dport, udp_length, udp_checksum = struct.unpack(">HHHH", frame[34:42])
        length = total_length + 14
        for name, got, want in (("destination MAC", frame[0:6], mac), ("source MAC", frame[6:12], src_mac),
                                ("EtherType", frame[12:14], b"\x08\x00"), ("version/header length", ip[0], 0x45),
                                ("IPv4 identification", ident, 0), ("IPv4 flags/fragment offset", flags, 0),
                                ("TTL", ttl, 255), ("protocol", proto, 17), ("source address", ip[12:16], src),
                                ("destination address", ip[16:20], dst), ("UDP ports", (sport, dport), (33333, 33333)),
                                ("UDP length", udp_length, length - 34), ("UDP checksum", udp_checksum, 0)):
            if got != want:
                fail("%s: %s %s, expected %s" % (where, name, got, want))
        if not shortest <= length <= 1500:
            fail("%s: IPv4 total length %d gives a frame of %d bytes, outside %d..1500"
                 % (where, total_length, length, shortest))
        # A 59-byte frame may reach the wire padded to the Ethernet minimum of 60.
        if len(frame) != length and not (length == 59 and len(frame) == 60):
            fail("%s: %d bytes long but its IPv4 total length %d says %d"
                 % (where, len(frame), total_length, length))
        if internet_checksum(ip) != 0xFFFF:
            fail("%s: IPv4 header checksum 0x%s is wrong" % (where, ip[10:12].hex()))

        letter = frame[42]
        index = letter - ord("A")
        if not 0 <= index < streams:
            fail("%s: stream letter %r outside A..%s" % (where, chr(letter), chr(ord("A") + streams - 1)))
        stream = index + 1
        where += " (stream %d)" % stream
        if ip[1] != tos[index]:
            fail("%s: TOS %d, expected %d" % (where, ip[1], tos[index]))
        filler = frame[filler_from:length]
        if filler != bytes([letter]) * (length - filler_from):
            fail("%s: filler bytes %d..%d are not all %r" % (where, filler_from, length - 1, chr(letter)))
        sec, usec = struct.unpack("<qq", frame[43:59])
        if not 0 <= usec <= 999999:
            fail("%s: send time microseconds %d outside 0..999999" % (where, usec))
        sent = sec + usec * 1e-6
        if not args.start - 0.001 <= sent <= args.end + 0.001:
            fail("%s: send time %.6f outside the run %.6f..%.6f" % (where, sent, args.start, args.end))
        delay_us = captured_ns // 1000 - (sec * 1000000 + usec)
        if delay_us < 0:
            fail("%s: captured %d us before it was sent" % (where, -delay_us))
        if delay_us > args.max_delay:
            fail("%s: captured %d us after it was sent" % (where, delay_us))
        if args.sequence:
            number = struct.unpack("<I", frame[59:63])[0]
            runs = cycles[index]
            if not runs or (sent > runs[-1][0] + 0.05 and number <= runs[-1][1]):
                runs.append([sent, number, []])
            runs[-1][0] = max(runs[-1][0], sent)
            runs[-1][1] = max(runs[-1][1], number)
            runs[-1][2].append((number, sent))
        elif last_send[index] is not None and (sec, usec) < last_send[index]:
            fail("%s: send time goes backwards within the stream" % where)
        last_send[index] = (sec, usec)
        if stream in fixed_size and length != fixed_size[stream]:
            fail("%s: %d bytes long, expected %d" % (where, length, fixed_size[stream]))
        counts[index] += 1
        lengths[index].append(length)
        if first_capture[index] is None:
            first_capture[index] = captured_ns
        last_capture[index] = captured_ns

    for stream in args.clamped:
        seen = lengths[stream - 1]
        if not seen:
            fail("stream %d: no frames captured" % stream)
        low = sum(1 for n in seen if n == shortest)
        high = sum(1 for n in seen if n == 1500)
        between = len(seen) - low - high
        # Sizes drawn from 0..1999: about 3 % clamp up to 59, about 25 % down to 1500.
        if low == 0 or high == 0 or between == 0:
            fail("stream %d: %d frames of %d bytes, %d of 1500 bytes, %d between; "
                 "expected some of each" % (stream, low, shortest, high, between))
        if not 0.15 <= high / len(seen) <= 0.35:
            fail("stream %d: %d of %d frames are 1500 bytes long, expected about a quarter"
                 % (stream, high, len(seen)))
        if not 0.005 <= low / len(seen) <= 0.08:
            fail("stream %d: %d of %d frames are %d bytes long, expected about 3 %%"
                 % (stream, low, len(seen), shortest))

    if args.sequence:
        print_sequence_counts(cycles)
        return
    for index, count in enumerate(counts):
        if args.gaps:
            mean = (last_capture[index] - first_capture[index]) / (count - 1) / 1000 if count > 1 else 0
            print("%d %d %.3f" % (index + 1, count, mean))
        else:
            print("%d %d" % (index + 1, count))


if __name__ == "__main__":
    main()
