#!/usr/bin/env python3
"""A small HTTP server that misbehaves on purpose, for the HTTP source's tests.

It serves the files of one folder (the same folder the regular web server
serves) and picks its behaviour from the first path segment:

  /ok/<file>        206 with exactly the requested range (like a good server)
  /404/<file>       404 Not Found
  /full/<file>      200 with the whole file, ignoring the Range header
  /short/<file>     206 announcing the requested range but sending only half
                    of it, then closing the connection
  /stall/<file>     206 headers, then nothing for STALL_SECONDS (shorter than
                    the source's request time-out), then the body
  /drop/<file>      closes the connection without answering
  /silent/<file>    reads the request and never answers (the connection is
                    held for at most SILENT_SECONDS, then closed)
  /silentpics/<file>  pictures (.bmp, .dib, .jpg, .jpeg) as /silent/, any
                    other file as /ok/ (a thumbnail download that stalls)
  /rate/<bytes per second>/<file>
                    as /ok/, but the bodies are paced so that all requests
                    for that rate together send no faster than it (one token
                    bucket per rate, shared by every connection)

Every request is counted per behaviour; GET /_count/<behaviour> answers the
count as text and GET /_reset sets all counts to 0.

For the paced reads of one file: GET /_pause/<file> answers later /rate/
requests for it with 503 (the bodies under way still end), GET /_resume/<file>
serves them again, and GET /_paced/<file> answers "<bodies under way> <end of
the last body sent whole>" (the end as an offset one past its last byte, 0
before the first), so that a test knows what a sequential reader has received
once nothing is under way.

Usage: fault_server.py --port N --root DIR [--port-file FILE]
With --port 0 a free port is chosen; --port-file receives the port number.
"""
import argparse
import os
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

STALL_SECONDS = 0.6
SILENT_SECONDS = 30.0
RANGE_RE = re.compile(r"bytes=(\d+)-(\d*)", re.I)

counts = {}
counts_lock = threading.Lock()


def count(kind):
    with counts_lock:
        counts[kind] = counts.get(kind, 0) + 1


class TokenBucket:
    """The bytes that may go out at one rate: it fills at the rate up to a
    tenth of a second's worth (enough to bridge the gap between two requests
    of a reader that is always waiting); a sender takes what it sends and
    waits out the debt, so all senders together keep to the rate."""

    def __init__(self, rate):
        self.rate = float(rate)
        self.capacity = self.rate / 10
        self.tokens = self.capacity
        self.stamp = time.monotonic()
        self.lock = threading.Lock()

    def piece(self):
        """Bytes per write: about a fiftieth of a second's worth."""
        return int(min(16384, max(512, self.rate / 50)))

    def take(self, n):
        with self.lock:
            now = time.monotonic()
            self.tokens = min(self.capacity, self.tokens + (now - self.stamp) * self.rate)
            self.stamp = now
            self.tokens -= n
            debt = -self.tokens / self.rate
        if debt > 0:
            time.sleep(debt)


MAX_RATE = 1 << 30
buckets = {}  # bytes per second -> TokenBucket
paced = {}  # file name -> {"paused", "busy", "end"} of its /rate/ reads
paced_lock = threading.Lock()


def bucket(rate):
    with paced_lock:
        if rate not in buckets:
            buckets[rate] = TokenBucket(rate)
        return buckets[rate]


def paced_state(name):
    """The state of a file's paced reads (paced_lock held)."""
    return paced.setdefault(name, {"paused": False, "busy": 0, "end": 0})


def served_name(rest):
    """The file name inside the served folder, None for one outside it."""
    name = os.path.normpath(rest).lstrip("/")
    return None if name.startswith("..") else name


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QovFaultPeer/1.0"

    def log_message(self, fmt, *args):  # quiet
        pass

    def reply(self, status, body=b"", headers=None, close=False):
        self.send_response(status)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        if close:
            self.close_connection = True

    def cut_connection(self):
        """Ends the connection at once, whatever was sent on it."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        parts = path.lstrip("/").split("/", 1)
        kind = parts[0]
        rest = parts[1] if len(parts) > 1 else ""
        if kind == "_reset":
            with counts_lock:
                counts.clear()
            return self.reply(200, b"0")
        if kind == "_count":
            with counts_lock:
                n = counts.get(rest, 0)
            return self.reply(200, str(n).encode())
        if kind in ("_pause", "_resume", "_paced"):
            with paced_lock:
                state = paced_state(served_name(rest))
                if kind != "_paced":
                    state["paused"] = kind == "_pause"
                text = "%d %d" % (state["busy"], state["end"])
            return self.reply(200, text.encode())
        count(kind)
        if kind == "rate":
            return self.paced_read(rest)

        if kind == "drop":
            return self.cut_connection()
        if kind == "silentpics":
            pictures = (".bmp", ".dib", ".jpg", ".jpeg")
            kind = "silent" if rest.lower().endswith(pictures) else "ok"
        if kind == "silent":
            time.sleep(SILENT_SECONDS)
            return self.cut_connection()
        if kind == "404":
            return self.reply(404, b"<html>not found</html>", {"Content-Type": "text/html"})

        name = served_name(rest)
        if name is None:
            return self.reply(403)
        full = os.path.join(self.server.root, name)
        try:
            with open(full, "rb") as f:
                data = f.read()
        except OSError:
            return self.reply(404)

        m = RANGE_RE.search(self.headers.get("Range", ""))
        if kind == "full" or not m:
            return self.reply(200, data, {"Content-Type": "application/octet-stream"})
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) else len(data) - 1
        last = min(last, len(data) - 1)
        if first >= len(data):
            return self.reply(416, b"", {"Content-Range": "bytes */%d" % len(data)})
        body = data[first:last + 1]
        head = {"Content-Type": "application/octet-stream",
                "Content-Range": "bytes %d-%d/%d" % (first, last, len(data))}
        if kind == "ok":
            return self.reply(206, body, head)
        if kind == "short":
            self.send_response(206)
            for k, v in head.items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            return self.cut_connection()
        if kind == "stall":
            self.send_response(206)
            for k, v in head.items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.flush()
            time.sleep(STALL_SECONDS)
            self.wfile.write(body)
            return
        return self.reply(400, b"unknown behaviour")

    def paced_read(self, rest):
        """/rate/<bytes per second>/<file>: the range (or the whole file) with
        its body paced by the rate's bucket."""
        rate_text, _, rest = rest.partition("/")
        rate = int(rate_text) if rate_text.isdigit() else 0
        name = served_name(rest)
        if not 0 < rate <= MAX_RATE or name is None:
            return self.reply(400, b"bad rate or file")
        try:
            with open(os.path.join(self.server.root, name), "rb") as f:
                size = os.fstat(f.fileno()).st_size
                m = RANGE_RE.search(self.headers.get("Range", ""))
                first = int(m.group(1)) if m else 0
                last = min(int(m.group(2)) if m and m.group(2) else size - 1, size - 1)
                if m and first >= size:
                    return self.reply(416, b"", {"Content-Range": "bytes */%d" % size})
                f.seek(first)
                body = f.read(last + 1 - first)
        except OSError:
            return self.reply(404)
        with paced_lock:
            state = paced_state(name)
            paused = state["paused"]
            if not paused:
                state["busy"] += 1
        if paused:
            return self.reply(503, b"paused", {"Retry-After": "1"})
        whole = False
        try:
            self.send_response(206 if m else 200)
            self.send_header("Content-Type", "application/octet-stream")
            if m:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            paced_by = bucket(rate)
            step = paced_by.piece()
            for at in range(0, len(body), step):
                piece = body[at:at + step]
                paced_by.take(len(piece))
                self.wfile.write(piece)
            whole = True
        except OSError:
            self.cut_connection()
        finally:
            with paced_lock:
                state["busy"] -= 1
                if whole:
                    state["end"] = first + len(body)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file")
    args = ap.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.root = os.path.abspath(args.root)
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
