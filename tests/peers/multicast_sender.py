#!/usr/bin/env python3
"""A multicast channel sender for the multicast source's tests and benchmark.

Cuts the frame records of a recording (.qov) into blocks of UDP packets:
  0  4  block id (counting up from --start-id)
  4  4  block length (= the frame record's size)
  8  2  packet number within the block (receivers do not read it)
  10 2  number of packets of the block
  12 .. the next part of the block
and sends them to a multicast group. It runs only inside the test network
namespace (scripts/netns.sh): its datagrams must never reach a real network,
so outside one it writes "0 0 refused: ..." to the port file and ends.

Usage: multicast_sender.py --port-file FILE --group G --port P [options]

  --port-file FILE   written once ready: "<udp port> <control port>"
  --recording FILE   frames to send (without one: nothing but --stray)
  --interface ADDR   local address to send out of; repeat it to send every
                     datagram out of each (the same block on two networks)
  --packet N         payload bytes per packet (default 1400)
  --mode MODE        normal | interleave (a packet of the next block inside
                     block 2) | lose (the last packet of block 2 is lost) |
                     dup-packet (a packet of block 2 is sent twice) |
                     repeat (every block is sent twice in a row) |
                     stray (datagrams that break the format, then normal) |
                     reuse-ids (every block has the id --start-id) |
                     trailing (16 bytes after every frame record, counted
                     in the block length)
  --lead-delta       send the recording's second frame first
  --frames N         only the first N frames
  --loop             repeat without end (times running on) until "stop"
  --pace-ms N        pause between blocks (default 1)
  --stamp            write the send time (microseconds since the epoch) into
                     the 8 reserved bytes of every frame header
  --max-seconds N    end after N seconds (default 300)

Control connection (the first one to the control port), one command a line:
  go     start sending (answers "ok")
  wait   answers "done <blocks> <datagrams>" once a finite run has ended
  stop   ends a --loop run (answers "ok")
  quit   ends the sender (so does closing the connection)
"""
import argparse
import os
import socket
import struct
import threading
import time

from peer_common import control_loop, listening_control, load_frames, retimed, select_frames, write_port_file


def outside_test_namespace():
    """True unless every network link this process sees is the loopback or
    one of the test namespace's veth links (qv*), which have no way out."""
    try:
        with open("/proc/self/net/dev") as f:
            links = [line.split(":", 1)[0].strip() for line in f.readlines()[2:] if ":" in line]
    except OSError:
        return True
    return not links or any(link != "lo" and not link.startswith("qv") for link in links)


def packets_of(block_id, block, size):
    parts = [block[i:i + size] for i in range(0, len(block), size)] or [b""]
    return [struct.pack("<IIHH", block_id, len(block), n, len(parts)) + part for n, part in enumerate(parts)]


class Sender:
    def __init__(self, args):
        self.args = args
        self.frames = load_frames(args.recording) if args.recording else []
        self.frames = select_frames(self.frames, args.frames, args.lead_delta)
        self.socks = []
        for addr in args.interface or [None]:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
            if addr:
                s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(addr))
            self.socks.append(s)
        self.target = (args.group, args.port)
        self.blocks = 0
        self.datagrams = 0
        self.finished = threading.Event()
        self.stopping = threading.Event()

    def emit(self, datagram):
        for s in self.socks:
            s.sendto(datagram, self.target)
            self.datagrams += 1

    def run(self):
        a = self.args
        block_id = a.start_id
        if a.mode == "stray":
            self.emit(b"\x01\x02\x03")                                  # too short
            self.emit(struct.pack("<IIHH", 0x80000000, 40, 0, 1) + bytes(40))  # id out of range
            self.emit(struct.pack("<IIHH", 7, 10, 0, 1) + bytes(10))    # shorter than a frame header
            self.emit(struct.pack("<IIHH", 8, 0, 0, 1))                 # length 0
        shift = 0
        while True:
            last = 0
            pending = []  # the interleave mode holds back a block's rest
            for n, rec in enumerate(self.frames):
                if self.stopping.is_set():
                    break
                rec, t = retimed(rec, shift, a.stamp)
                last = max(last, t)
                if a.mode == "trailing":
                    rec += b"\xee" * 16
                packets = packets_of(block_id, rec, a.packet)
                if a.mode != "reuse-ids":
                    block_id += 1
                if n == 1 and len(packets) > 1:
                    if a.mode == "interleave":
                        self.emit(packets[0])
                        pending = packets[1:]
                        continue
                    if a.mode == "lose":
                        packets = packets[:-1]
                    if a.mode == "dup-packet":
                        packets = packets[:1] + packets[:1] + packets[1:]
                for p in packets:
                    self.emit(p)
                if a.mode == "repeat":
                    for p in packets:
                        self.emit(p)
                for p in pending:
                    self.emit(p)
                pending = []
                self.blocks += 1
                if a.pace_ms:
                    time.sleep(a.pace_ms / 1000.0)
            if not a.loop or self.stopping.is_set() or not self.frames:
                break
            shift = last + 40
        self.finished.set()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port-file", required=True)
    p.add_argument("--group", default="238.0.0.1")
    p.add_argument("--port", type=int, default=6000)
    p.add_argument("--recording")
    p.add_argument("--interface", action="append")
    p.add_argument("--packet", type=int, default=1400)
    p.add_argument("--mode", default="normal",
                   choices=["normal", "interleave", "lose", "dup-packet", "repeat", "stray", "reuse-ids", "trailing"])
    p.add_argument("--lead-delta", action="store_true")
    p.add_argument("--frames", type=int)
    p.add_argument("--loop", action="store_true")
    p.add_argument("--pace-ms", type=float, default=1)
    p.add_argument("--start-id", type=int, default=1)
    p.add_argument("--stamp", action="store_true")
    p.add_argument("--max-seconds", type=float, default=300)
    args = p.parse_args()

    if outside_test_namespace():
        # Multicast must never reach a real network: the port file says why
        # nothing is sent, and the sender ends.
        write_port_file(args.port_file, "0 0 refused: not inside a test network namespace (scripts/netns.sh)\n")
        raise SystemExit(4)

    sender = Sender(args)
    control = listening_control()
    write_port_file(args.port_file, "%d %d\n" % (args.port, control.getsockname()[1]))

    def on_command(command, ctl):
        if command == b"go":
            threading.Thread(target=sender.run, daemon=True).start()
            ctl.sendall(b"ok\n")
        elif command == b"wait":
            sender.finished.wait()
            ctl.sendall(b"done %d %d\n" % (sender.blocks, sender.datagrams))
        elif command == b"stop":
            sender.stopping.set()
            sender.finished.wait()
            ctl.sendall(b"ok\n")

    control_loop(control, args.max_seconds, on_command)
    os._exit(0)


if __name__ == "__main__":
    main()
