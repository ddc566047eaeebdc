#!/usr/bin/env python3
"""A live broadcast service for the live client's tests and benchmark.

Speaks the live protocol: 8-byte message heads (type, 3 unused bytes, 32-bit
little-endian payload length), a login text answered by a name=value reply,
"Start", then typed messages (0 frame record, 1 index text, 2 string text,
3 script text). Frames come from a recording file (.qov) made by the writer.

Usage: live_server.py --port-file FILE [options]

  --port-file FILE   written once listening: "<service port> <control port>"
  --log FILE         one line per message received from a client:
                     "<ms since accept> <connection> <type> <text, escaped>"
  --recording FILE   recording whose frame records are streamed
  --reply TEXT       login reply (backslash escapes \\r \\n decoded);
                     default "Title=Live\\r\\nAuthor=Peer\\r\\n"
  --mode MODE        normal | refuse (reply Permission=False) | noreply (never
                     answer the login) | stall (never accept: the listen
                     queue is kept full, so connects hang)
  --channel NAME     a login for another channel is refused
  --chunk HOW        whole | split (every message in several sends) |
                     coalesce (three messages per send) | bytes (a byte per send)
  --pace-ms N        pause between frames (0: as fast as the client takes them)
  --frames N         send only the first N frames (default: all)
  --loop             repeat the recording without end, times running on
  --lead-delta       send the recording's second frame before its first
  --texts            send an index, a script, a string and a type-5 text first
  --end WHAT         after the frames: idle | close | oversized | badframe |
                     lenient (a 40 KB text, then the first frame again with
                     16 bytes after its record, then idle)
  --stamp            write the send time (microseconds since the epoch) into
                     the 8 reserved bytes of every frame header
  --max-seconds N    end after N seconds whatever happens (default 300)

The peer ends when its control connection (the first connection to the
control port) closes, on "quit" there, or after --max-seconds.
"""
import argparse
import os
import random
import socket
import struct
import sys
import threading
import time

from peer_common import control_loop, listening_control, load_frames, retimed, select_frames, write_port_file

FRAME, INDEX, STRING, SCRIPT = 0, 1, 2, 3


def message(mtype, payload):
    return struct.pack("<B3xI", mtype, len(payload)) + payload


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def read_message(conn):
    head = read_exact(conn, 8)
    mtype, length = struct.unpack("<B3xI", head)
    return mtype, read_exact(conn, length) if length else b""


class Server:
    def __init__(self, args):
        self.args = args
        self.frames = load_frames(args.recording) if args.recording else []
        self.log_lock = threading.Lock()
        self.log = open(args.log, "a", buffering=1) if args.log else None
        self.connections = 0
        self.done = threading.Event()

    def write_log(self, start, conn_no, mtype, payload):
        if not self.log:
            return
        text = payload.decode("latin-1").replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
        with self.log_lock:
            self.log.write("%d %d %d %s\n" % (int((time.monotonic() - start) * 1000), conn_no, mtype, text))

    def send(self, conn, chunks):
        how = self.args.chunk
        if how == "coalesce":
            for i in range(0, len(chunks), 3):
                conn.sendall(b"".join(chunks[i:i + 3]))
        elif how == "split":
            for m in chunks:
                pos = 0
                while pos < len(m):
                    n = random.randint(1, max(1, min(len(m) - pos, 4096)))
                    conn.sendall(m[pos:pos + n])
                    pos += n
                    time.sleep(0.001)
        elif how == "bytes":
            for m in chunks:
                for b in m:
                    conn.sendall(bytes([b]))
                    time.sleep(0.0005)
        else:
            for m in chunks:
                conn.sendall(m)

    def stream(self, conn):
        a = self.args
        if a.texts:
            self.send(conn, [message(INDEX, b"index-text"), message(SCRIPT, b"script-text"),
                             message(STRING, b"string-text"), message(5, b"skipped")])
        frames = select_frames(self.frames, a.frames, a.lead_delta)
        shift = 0
        while True:
            last = 0
            for rec in frames:
                rec, t = retimed(rec, shift, a.stamp)
                last = max(last, t)
                self.send(conn, [message(FRAME, rec)])
                if a.pace_ms:
                    time.sleep(a.pace_ms / 1000.0)
            if not a.loop or not frames:
                break
            shift = last + 40
        if a.end == "close":
            conn.shutdown(socket.SHUT_RDWR)
            conn.close()
            return False
        if a.end == "oversized":
            conn.sendall(struct.pack("<B3xI", FRAME, 0x7FFFFFF0))
        elif a.end == "lenient":
            rec, _ = retimed(self.frames[0], last + 40, a.stamp) if self.frames else (bytes(28), 0)
            conn.sendall(message(STRING, b"t" * 40000) + message(FRAME, bytes(rec) + b"\xee" * 16))
        elif a.end == "badframe":
            rec = bytearray(self.frames[0]) if self.frames else bytearray(28)
            struct.pack_into("<I", rec, 12, len(rec))  # claims more than it carries
            conn.sendall(message(FRAME, bytes(rec)))
        return True

    def serve(self, conn, conn_no):
        a = self.args
        start = time.monotonic()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            mtype, login = read_message(conn)
            self.write_log(start, conn_no, mtype, login)
            if a.mode == "noreply":
                while read_message(conn):
                    pass
            refused = a.mode == "refuse"
            if a.channel is not None and ("Channel=%s\r\n" % a.channel).encode() not in login:
                refused = True
            reply = a.reply.encode("latin-1").decode("unicode_escape").encode("latin-1")
            if refused:
                reply = b"Title=Refused\r\nPermission=False\r\n"
            conn.sendall(message(STRING, reply))
            if refused:
                while True:
                    mtype, payload = read_message(conn)
                    self.write_log(start, conn_no, mtype, payload)
            mtype, payload = read_message(conn)
            self.write_log(start, conn_no, mtype, payload)
            if payload != b"Start":
                return

            def reader():
                try:
                    while True:
                        t, p = read_message(conn)
                        self.write_log(start, conn_no, t, p)
                except (OSError, ConnectionError):
                    pass

            threading.Thread(target=reader, daemon=True).start()
            if self.stream(conn):
                while not self.done.is_set():
                    time.sleep(0.2)
        except (OSError, ConnectionError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def accept_loop(self, listener):
        while not self.done.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self.serve, args=(conn, self.connections), daemon=True).start()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port-file", required=True)
    p.add_argument("--log")
    p.add_argument("--recording")
    p.add_argument("--reply", default="Title=Live\\r\\nAuthor=Peer\\r\\n")
    p.add_argument("--mode", default="normal", choices=["normal", "refuse", "noreply", "stall"])
    p.add_argument("--channel")
    p.add_argument("--chunk", default="whole", choices=["whole", "split", "coalesce", "bytes"])
    p.add_argument("--pace-ms", type=float, default=0)
    p.add_argument("--frames", type=int)
    p.add_argument("--loop", action="store_true")
    p.add_argument("--lead-delta", action="store_true")
    p.add_argument("--texts", action="store_true")
    p.add_argument("--end", default="idle", choices=["idle", "close", "oversized", "badframe", "lenient"])
    p.add_argument("--stamp", action="store_true")
    p.add_argument("--max-seconds", type=float, default=300)
    args = p.parse_args()

    server = Server(args)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    control = listening_control()
    fillers = []
    if args.mode == "stall":
        # A listen queue that is full and never accepted from: further
        # connects get no answer to their SYN and hang.
        listener.listen(0)
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            try:
                s.connect(listener.getsockname())
            except OSError:
                pass
            fillers.append(s)
        time.sleep(0.2)
    else:
        listener.listen(16)
        threading.Thread(target=server.accept_loop, args=(listener,), daemon=True).start()

    write_port_file(args.port_file, "%d %d\n" % (listener.getsockname()[1], control.getsockname()[1]))

    def on_command(command, ctl):
        if command == b"connections":
            ctl.sendall(b"%d\n" % server.connections)

    control_loop(control, args.max_seconds, on_command)
    server.done.set()
    os._exit(0)


if __name__ == "__main__":
    main()
