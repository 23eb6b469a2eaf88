#!/usr/bin/env python3
"""A recorder client written from the wire protocol alone, sharing no code
with the project: it starts zarvion-dvrsim, completes the session start,
receives live frames, asks for one channel only, and has ffmpeg decode what
it received (wrapped in a minimal AVI file) into 352 x 288 pictures.

usage: dvrsim_independent_client.py PATH/TO/zarvion-dvrsim
Exit status 0 when every check passed."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

HEADER = struct.Struct("<BBHHHHHII")  # code, channel, param0..param4, length, checksum
WIDTH, HEIGHT = 352, 288


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def header(code, channel=0, p=(0, 0, 0, 0, 0), length=0):
    checksum = (code + channel + sum(p) + length) & 0xFFFFFFFF
    return HEADER.pack(code, channel, *p, length, checksum)


def receive(sock, count):
    data = bytearray()
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            fail("connection closed after %d of %d bytes" % (len(data), count))
        data += chunk
    return bytes(data)


def read_message(sock):
    fields = HEADER.unpack(receive(sock, HEADER.size))
    code, channel, p0, p1, p2, p3, p4, length, checksum = fields
    if checksum != (code + channel + p0 + p1 + p2 + p3 + p4 + length) & 0xFFFFFFFF:
        fail("bad checksum on a message with code %d" % code)
    payload = b""
    if code == 7 or code == 15:
        payload = receive(sock, length)
    elif code == 4:
        payload = receive(sock, length * 276)
    return code, channel, p0, p4, length, payload


def write_avi(path, frames):
    """One MP43 video stream, one chunk per frame, with an index."""
    def chunk(fourcc, data):
        pad = b"\0" if len(data) % 2 else b""
        return fourcc + struct.pack("<I", len(data)) + data + pad

    def lst(kind, body):
        return b"LIST" + struct.pack("<I", len(body) + 4) + kind + body

    n = len(frames)
    biggest = max(len(f) for f, _ in frames)
    avih = struct.pack("<IIIIIIIIII4I", 40000, 0, 0, 0x10, n, 0, 1, biggest, WIDTH, HEIGHT,
                       0, 0, 0, 0)
    strh = (b"vids" + b"MP43" + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, 1, 25, 0, n,
                                            biggest, 0xFFFFFFFF, 0, 0, 0, WIDTH, HEIGHT))
    strf = struct.pack("<IiiHH4sIiiII", 40, WIDTH, HEIGHT, 1, 24, b"MP43", WIDTH * HEIGHT * 3,
                       0, 0, 0, 0)
    hdrl = lst(b"hdrl", chunk(b"avih", avih) + lst(b"strl", chunk(b"strh", strh) +
                                                    chunk(b"strf", strf)))
    movi_body = b""
    index = b""
    for data, key in frames:
        offset = 4 + len(movi_body)
        movi_body += chunk(b"00dc", data)
        index += b"00dc" + struct.pack("<III", 0x10 if key else 0, offset, len(data))
    body = b"AVI " + hdrl + lst(b"movi", movi_body) + chunk(b"idx1", index)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def main():
    if len(sys.argv) != 2:
        fail(__doc__)
    server = subprocess.Popen([sys.argv[1], "--port", "0", "--channels", "4", "--duration", "25"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline().strip()
        if not line.startswith("listening on "):
            fail("unexpected first line %r" % line)
        address, port = line[len("listening on "):].rsplit(":", 1)
        sock = socket.create_connection((address, int(port)), timeout=10)

        sock.sendall(header(11, length=128) + b"demo".ljust(128, b"\0"))
        sock.sendall(header(1))
        code, channels, _, flags, _, _ = read_message(sock)
        if code != 2 or channels != 4 or flags != 3:
            fail("session info: code %d, %d channels, flags %d" % (code, channels, flags))
        sock.sendall(header(12))
        table = HEADER.unpack(receive(sock, HEADER.size))
        if table[0] != 13 or table[7] & 0xFF != 4:
            fail("parameter table: code %d, length %d" % (table[0], table[7]))
        records = receive(sock, 4 * (table[7] & 0xFF))
        if len(set(records[i:i + 4] for i in range(0, len(records), 4))) != 4:
            fail("the parameter records of the channels are not distinct")

        # All channels until a mask is sent.
        seen = set()
        deadline = time.time() + 5
        while seen != {0, 1, 2, 3} and time.time() < deadline:
            code, channel, _, _, _, _ = read_message(sock)
            if code == 7:
                seen.add(channel)
        if seen != {0, 1, 2, 3}:
            fail("frames came for channels %s only" % sorted(seen))

        # Only channel 2 from now on; frames in flight may still arrive.
        sock.sendall(header(8, p=(1 << 2, 0, 0, 0, 0)))
        frames = []
        others_after = 0
        deadline = time.time() + 8
        while len(frames) < 30 and time.time() < deadline:
            code, channel, flag_word, _, _, payload = read_message(sock)
            if code != 7:
                continue
            if channel == 2:
                if frames or flag_word & 0x10:
                    frames.append((payload, bool(flag_word & 0x10)))
            elif len(frames) >= 2:
                others_after += 1
        sock.close()
        if len(frames) < 30:
            fail("only %d frames of channel 3 arrived" % len(frames))
        if others_after:
            fail("%d frames of other channels after the mask took effect" % others_after)

        with tempfile.TemporaryDirectory() as tmp:
            avi = os.path.join(tmp, "channel3.avi")
            write_avi(avi, frames)
            decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", avi, "-f", "rawvideo",
                                      "-pix_fmt", "rgb24", "-"], capture_output=True)
            if decoded.returncode != 0 or decoded.stderr:
                fail("ffmpeg: %s" % decoded.stderr.decode(errors="replace"))
            picture = WIDTH * HEIGHT * 3
            if len(decoded.stdout) != picture * len(frames):
                fail("ffmpeg decoded %d bytes for %d frames" % (len(decoded.stdout), len(frames)))
            first, last = decoded.stdout[:picture], decoded.stdout[-picture:]
            if first == last:
                fail("the picture does not move")
        print("ok: %d frames of channel 3 decoded as %dx%d" % (len(frames), WIDTH, HEIGHT))
    finally:
        server.terminate()
        server.wait(timeout=10)


if __name__ == "__main__":
    main()
