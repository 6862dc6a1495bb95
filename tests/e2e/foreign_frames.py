#!/usr/bin/env python3
"""Sends frames to UDP (and TCP) port 33333 that are not test frames of a run: too short to
hold a send time, or with a stream letter outside the run's streams. Used by the fault tests
to check that the receiver ignores them and that a continuous flood does not keep it from
ending. Sends one frame every INTERVAL seconds, cycling through the kinds, for SECONDS.
Needs CAP_NET_RAW (run inside the test's network namespace as root)."""

import argparse
import socket
import struct
import time

TEST_PORT = 33333
FOREIGN_PORT = 44444


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(dst_mac, src_ip, dst_ip, protocol, transport):
    ethernet = dst_mac + bytes.fromhex("020000000099") + b"\x08\x00"
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(transport), 0, 0, 64, protocol, 0,
                         src_ip, dst_ip)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return ethernet + header + transport


def udp(payload):
    return struct.pack("!HHHH", FOREIGN_PORT, TEST_PORT, 8 + len(payload), 0) + payload


def tcp(ack_first_byte):
    # Offset 42 of the frame is the first byte of the acknowledgement number.
    ack = bytes([ack_first_byte]) + b"\0\0\0"
    return struct.pack("!HHI", FOREIGN_PORT, TEST_PORT, 1) + ack + struct.pack(
        "!BBHHH", 0x50, 0x10, 1024, 0, 0) + b"payload"


def send_time():
    now = time.time()
    return struct.pack("<qq", int(now), int((now % 1) * 1000000))


def foreign_frames(dst_mac, src_ip, dst_ip, streams):
    letter_after = ord("A") + streams  # the first letter that no stream of the run has
    kinds = [
        # Too short for a send time, with the letter of stream 1 where a test frame has it.
        ("short-1", udp(b"A")),
        ("short-10", udp(b"A" * 10)),
        ("short-16", udp(b"A" * 16)),  # 58 bytes: one short of the smallest test frame
        # Long enough, but with a letter that belongs to no stream of the run.
        ("letter-after", udp(bytes([letter_after]) + send_time() + bytes([letter_after]) * 40)),
        ("letter-Z-1500", udp(b"Z" + send_time() + b"Z" * (1500 - 42 - 17))),
        ("letter-below-A", udp(b"@" + send_time() + b"@" * 40)),
        ("letter-a", udp(b"a" + send_time() + b"a" * 40)),
        ("letter-ff", udp(b"\xff" + send_time() + b"\xff" * 40)),
        ("letter-0", udp(b"\0" * 60)),
        ("tcp", None),
    ]
    out = []
    for name, transport in kinds:
        if name == "tcp":
            out.append((name, frame(dst_mac, src_ip, dst_ip, 6, tcp(ord("Z")))))
        else:
            out.append((name, frame(dst_mac, src_ip, dst_ip, 17, transport)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--interface", required=True, help="interface to send out of")
    parser.add_argument("--dst-mac", required=True)
    parser.add_argument("--src-ip", required=True)
    parser.add_argument("--dst-ip", required=True)
    parser.add_argument("--streams", type=int, required=True, help="stream count of the run")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--interval", type=float, default=0.001)
    args = parser.parse_args()

    dst_mac = bytes.fromhex(args.dst_mac.replace(":", ""))
    src_ip = socket.inet_aton(args.src_ip)
    dst_ip = socket.inet_aton(args.dst_ip)
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    sock.bind((args.interface, 0))

    deadline = time.monotonic() + args.seconds
    sent = 0
    while time.monotonic() < deadline:
        # Rebuilt every round so the letters' send times stay current.
        for _, data in foreign_frames(dst_mac, src_ip, dst_ip, args.streams):
            sock.send(data)
            sent += 1
            time.sleep(args.interval)
            if time.monotonic() >= deadline:
                break
    print("foreign frames sent: %d" % sent)


if __name__ == "__main__":
    main()
