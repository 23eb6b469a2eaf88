#!/usr/bin/env python3
"""Records the seed corpus of the session fuzz target from real simulator
sessions: for a normal session and for every --fault of the simulator, the
bytes the server sends while a client logs in, reads the picture settings,
watches live video, selects one channel, lists and plays a recording and
sends a setting. Each file is the server's side of one session.

usage: record_corpus.py PATH/TO/zarvion-dvrsim OUT_FOLDER"""

import os
import socket
import struct
import subprocess
import sys
import time

HEADER = struct.Struct("<BBHHHHHII")
FAULTS = ["oversize-frame", "channel-out-of-range", "long-notice", "big-param-table",
          "truncated-frame", "trickle", "wrong-first-reply", "unknown-code", "close-after-login"]
LIMIT = 96 * 1024  # keeps every seed small enough for quick runs


def header(code, channel=0, p=(0, 0, 0, 0, 0), length=0):
    checksum = (code + channel + sum(p) + length) & 0xFFFFFFFF
    return HEADER.pack(code, channel, *p, length, checksum)


def collect(sock, data, seconds):
    end = time.time() + seconds
    while time.time() < end and len(data) < LIMIT:
        sock.settimeout(max(0.01, end - time.time()))
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, OSError):
            continue
        if not chunk:
            return False
        data += chunk
    return True


def first_listed(data):
    """The first FileRecord of the first FileList in a well-formed stream."""
    at = 0
    while at + 20 <= len(data):
        code, _, _, _, _, _, _, length, _ = HEADER.unpack_from(data, at)
        at += 20
        if code == 4:
            return data[at:at + 276] if length and at + 276 <= len(data) else None
        if code in (7, 15):
            at += length
        elif code == 13:
            at += (length & 0xFF) * 4
        elif code not in (2, 6, 8):
            return None
    return None


def record(dvrsim, fault, path):
    # Few frames a second, so that one small file holds every kind of message.
    args = [dvrsim, "--port", "0", "--channels", "4", "--flags", "3", "--duration", "20",
            "--fps", "2"]
    if fault:
        args += ["--fault", fault]
    server = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline().strip()
        address, port = line[len("listening on "):].rsplit(":", 1)
        sock = socket.create_connection((address, int(port)), timeout=10)
        data = bytearray()
        sock.sendall(header(11, length=128) + b"demo".ljust(128, b"\0"))
        sock.sendall(header(1))
        steps = [
            (header(12), 0.3),                                   # picture settings
            (header(8, p=(1 << 2, 0, 0, 0, 0)), 0.4),            # one channel
            (header(3), 0.2),                                    # the recordings
            (header(14, channel=1, p=(10, 20, 30, 40, 0)), 0.1),  # a setting
        ]
        alive = collect(sock, data, 0.4)
        # The view commands and a notice, from the simulator's console.
        server.stdin.write("view single 2\nnotice 录像机将在五分钟后重启\nview grid 4\n")
        server.stdin.flush()
        for message, seconds in steps:
            if not alive or len(data) >= LIMIT:
                break
            try:
                sock.sendall(message)
            except OSError:
                break
            alive = collect(sock, data, seconds)
        # Play the first listed recording, if the list came.
        record_bytes = first_listed(bytes(data))
        if alive and record_bytes:
            sock.sendall(header(5, length=1) + record_bytes)
            alive = collect(sock, data, 0.4)
            if alive:
                sock.sendall(header(9, p=(0, 0, 0, 0, 0)) + header(9, p=(1, 0, 0, 0, 0)))
                collect(sock, data, 0.4)
        sock.close()
        with open(path, "wb") as f:
            f.write(bytes(data[:LIMIT]))
        return len(data)
    finally:
        server.kill()
        server.wait()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    os.makedirs(sys.argv[2], exist_ok=True)
    for fault in [None] + FAULTS:
        name = "sim-" + (fault or "normal")
        n = record(sys.argv[1], fault, os.path.join(sys.argv[2], name))
        print(name, n)


if __name__ == "__main__":
    main()
