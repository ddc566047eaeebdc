"""What the test peers share: reading a recording's frame records, retiming
them for loops and stamping them, the port file and the control connection.

The peers are started as scripts, so this module is found beside them.
"""
import os
import socket
import struct
import threading
import time


def load_frames(path):
    """The frame records (header and payload) of a recording file, in order,
    up to its index or to the first record that does not fit."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 32 or data[0:2] != b"AV":
        raise SystemExit("not a recording: %s" % path)
    index_offset = struct.unpack_from("<q", data, 12)[0]
    end = min(len(data), 32 + index_offset)
    frames, pos = [], 32
    while pos + 28 <= end:
        length = struct.unpack_from("<I", data, pos + 12)[0]
        if pos + 28 + length > end:
            break
        frames.append(bytes(data[pos:pos + 28 + length]))
        pos += 28 + length
    return frames


def select_frames(frames, count, lead_delta):
    """The first count frames (all with None); with lead_delta the second
    one goes first."""
    frames = list(frames)
    if count is not None:
        frames = frames[:count]
    if lead_delta and len(frames) > 1:
        frames = [frames[1], frames[0]] + frames[2:]
    return frames


def retimed(rec, shift, stamp):
    """The record with its time moved on by shift (a loop's later rounds)
    and, with stamp, this machine's clock in microseconds at offset 20;
    returns it and its new time (before wrapping)."""
    rec = bytearray(rec)
    t = struct.unpack_from("<I", rec, 0)[0] + shift
    struct.pack_into("<I", rec, 0, t & 0xFFFFFFFF)
    if stamp:
        struct.pack_into("<Q", rec, 20, time.time_ns() // 1000)
    return bytes(rec), t


def write_port_file(path, text):
    """Writes the port file whole (through a temporary file), so that the
    test never reads half of it."""
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def control_loop(control, max_seconds, on_command):
    """Ends the process after max_seconds whatever happens, accepts the
    control connection (exit code 2 when none comes in 30 s) and hands each
    command line to on_command(command, connection); "quit" ends the process.
    Returns when the control connection closes."""

    def watchdog():
        time.sleep(max_seconds)
        os._exit(3)

    threading.Thread(target=watchdog, daemon=True).start()
    control.settimeout(30)
    try:
        ctl, _ = control.accept()
    except OSError:
        os._exit(2)
    ctl.settimeout(None)
    buf = b""
    while True:
        try:
            data = ctl.recv(4096)
        except OSError:
            data = b""
        if not data:
            break
        buf += data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            command = line.strip()
            if command == b"quit":
                os._exit(0)
            on_command(command, ctl)


def listening_control():
    """The control port: a socket listening on loopback for one connection."""
    control = socket.socket()
    control.bind(("127.0.0.1", 0))
    control.listen(1)
    return control
