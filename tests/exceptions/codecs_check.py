#!/usr/bin/env python3
"""The exception-reporting library's codecs and archives against Python's own
modules and an independent reference of the library's cipher.

usage: codecs_check.py PROBE [EMULATOR...]

PROBE is codec_probe (tests/exceptions/codec_probe.cpp), run through the
emulator words when given (the Wine launcher for the Windows builds). It works
on files in a temporary folder; every check compares its output with hashlib,
base64, zlib, gzip, tarfile, `gzip -t` or the reference below.
"""
import base64
import gzip
import hashlib
import io
import os
import random
import struct
import subprocess
import sys
import tarfile
import tempfile
import zlib

MASK = 0xFFFFFFFF
DELTA = 0x9E3779B9
# The chain's start vector of the library's chained decryption.
START_VECTOR = bytes.fromhex("b9aea13d8d827511")

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


# --- Reference of the cipher, written from its description ---------------------

def tea_key(phrase):
    """Four big-endian words of the MD5 digest of the pass phrase."""
    return struct.unpack(">4I", hashlib.md5(phrase).digest())


def tea_encrypt(key, block):
    k0, k1, k2, k3 = key
    left, right = struct.unpack(">2I", block)
    total = 0
    for _ in range(32):
        total = (total + DELTA) & MASK
        left = (left + ((right << 4) + (right ^ k0) + ((right >> 5) ^ total) + k1)) & MASK
        right = (right + ((left << 4) + (left ^ k2) + ((left >> 5) ^ total) + k3)) & MASK
    return struct.pack(">2I", left, right)


def tea_decrypt(key, block):
    k0, k1, k2, k3 = key
    left, right = struct.unpack(">2I", block)
    total = (DELTA * 32) & MASK
    for _ in range(32):
        right = (right - ((left << 4) + (left ^ k2) + ((left >> 5) ^ total) + k3)) & MASK
        left = (left - ((right << 4) + (right ^ k0) + ((right >> 5) ^ total) + k1)) & MASK
        total = (total - DELTA) & MASK
    return struct.pack(">2I", left, right)


def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))


def chain_tail(key, data, out, chain):
    tail = len(data) % 8
    if tail:
        pad = tea_encrypt(key, chain)
        out += xor(data[len(data) - tail:], pad[:tail])
    return bytes(out)


def decrypt_buffer(key, data):
    chain, out = START_VECTOR, bytearray()
    for at in range(0, len(data) - len(data) % 8, 8):
        block = data[at:at + 8]
        out += xor(tea_decrypt(key, block), chain)
        chain = block
    return chain_tail(key, data, out, chain)


def encrypt_buffer(key, data):
    chain, out = START_VECTOR, bytearray()
    for at in range(0, len(data) - len(data) % 8, 8):
        chain = tea_encrypt(key, xor(data[at:at + 8], chain))
        out += chain
    return chain_tail(key, data, out, chain)


# --- The probe -------------------------------------------------------------------

class Probe:
    def __init__(self, command):
        # Its error output is kept to say why, should it end early.
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors, text=True, bufsize=1)

    def run(self, line):
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
            answer = self.process.stdout.readline().strip()
        except OSError:  # the probe has ended and closed its pipe
            answer = ""
        if not answer:
            try:
                code = self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                code = "none yet"
            self.errors.seek(0)
            raise RuntimeError("probe ended (exit code %s) at: %s\n%s" % (code, line, self.errors.read()[-2000:]))
        return answer

    def ok(self, line):
        answer = self.run(line)
        check(answer == "ok", "%s -> %s" % (line, answer))

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        self.process.wait(timeout=60)


def put(name, data):
    with open(name, "wb") as f:
        f.write(data)
    return name


def get(name):
    with open(name, "rb") as f:
        return f.read()


def random_bytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def report_text(rng, size):
    lines = []
    total = 0
    while total < size:
        line = "  %08X prog.exe Unit%d TForm%d.Click (line %d)\r\n" % (
            rng.getrandbits(32), rng.randrange(50), rng.randrange(9), rng.randrange(1000))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def check_md5(probe, rng):
    suite = [b"", b"a", b"abc", b"message digest", b"abcdefghijklmnopqrstuvwxyz",
             b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", b"1234567890" * 8]
    buffers = suite + [random_bytes(rng, n) for n in range(0, 200)]
    buffers += [random_bytes(rng, rng.randrange(1, 70000)) for _ in range(20)]
    buffers.append(os.urandom(1 << 20))
    for i, data in enumerate(buffers):
        probe.ok("md5 %s md5_%d.out" % (put("md5_%d.bin" % i, data), i))
        check(get("md5_%d.out" % i) == hashlib.md5(data).digest(), "md5 of buffer %d (%d bytes)" % (i, len(data)))


def check_base64(probe, rng):
    vectors = [b"", b"f", b"fo", b"foo", b"foob", b"fooba", b"foobar"]
    buffers = vectors + [random_bytes(rng, n) for n in range(0, 100)] + [os.urandom(100000)]
    for i, data in enumerate(buffers):
        probe.ok("b64enc %s b64_%d.txt" % (put("b64_%d.bin" % i, data), i))
        text = get("b64_%d.txt" % i)
        check(text == base64.b64encode(data), "base64 of buffer %d (%d bytes)" % (i, len(data)))
        probe.ok("b64dec b64_%d.txt b64_%d.out" % (i, i))
        check(get("b64_%d.out" % i) == data, "base64 decoding of buffer %d" % i)
    # Texts that are not Base64 decode to nothing; python's strict decoder
    # refuses the same texts.
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    for i in range(200):
        text = bytearray(rng.choice(alphabet) for _ in range(4 * rng.randrange(1, 6)))
        text[rng.randrange(len(text))] = rng.choice(b"=-_ \r\n.!\x00\x7f\x80\xc3\xff")
        probe.ok("b64dec %s bad_%d.out" % (put("bad_%d.txt" % i, bytes(text)), i))
        try:
            expected = base64.b64decode(bytes(text), validate=True)
        except ValueError:
            expected = b""
        check(get("bad_%d.out" % i) == expected, "base64 decoding of %r" % bytes(text))


def check_cipher(probe, rng):
    phrases = [b"", b"password", "\u53e3\u4ee4".encode("gbk"), random_bytes(rng, 100)]
    for p, phrase in enumerate(phrases):
        key = tea_key(phrase)
        probe.ok("teakey " + put("phrase_%d" % p, phrase))
        blocks = random_bytes(rng, 8 * 64)
        probe.ok("teaenc %s tea_%d.enc" % (put("tea_%d.bin" % p, blocks), p))
        expected = b"".join(tea_encrypt(key, blocks[i:i + 8]) for i in range(0, len(blocks), 8))
        check(get("tea_%d.enc" % p) == expected, "TEA blocks with pass phrase %d" % p)
        probe.ok("teadec tea_%d.enc tea_%d.dec" % (p, p))
        check(get("tea_%d.dec" % p) == blocks, "TEA blocks deciphered with pass phrase %d" % p)
        lengths = list(range(0, 41)) + [rng.randrange(41, 5000) for _ in range(10)]
        for n in lengths:
            plain = random_bytes(rng, n)
            name = "chain_%d_%d" % (p, n)
            probe.ok("encrypt %s %s.enc" % (put(name, plain), name))
            cipher = get(name + ".enc")
            check(cipher == encrypt_buffer(key, plain), "chained encryption, %d bytes" % n)
            check(decrypt_buffer(key, cipher) == plain, "reference decryption, %d bytes" % n)
            probe.ok("decrypt %s.enc %s.dec" % (name, name))
            check(get(name + ".dec") == plain, "DecryptBuffer, %d bytes" % n)
            # Any bytes decipher as the reference says.
            noise = random_bytes(rng, n)
            probe.ok("decrypt %s %s.noise" % (put(name + ".raw", noise), name))
            check(get(name + ".noise") == decrypt_buffer(key, noise), "DecryptBuffer of noise, %d bytes" % n)


def check_zlib(probe, rng):
    buffers = [b"", b"a", report_text(rng, 1000), report_text(rng, 300000), os.urandom(70000),
               bytes(1 << 20)]
    for i, data in enumerate(buffers):
        probe.ok("compress %s z_%d.z" % (put("z_%d.bin" % i, data), i))
        packed = get("z_%d.z" % i)
        check(packed[:2] == b"\x78\xda", "zlib header at level 9, buffer %d" % i)
        check(zlib.decompress(packed) == data, "zlib reads CompressBuffer's output, buffer %d" % i)
        probe.ok("decompress %s z_%d.out" % (put("py_%d.z" % i, zlib.compress(data, 9)), i))
        check(get("z_%d.out" % i) == data, "DecompressBuffer reads zlib's output, buffer %d" % i)
    check(get("z_0.z") == b"\x78\xda\x03\x00\x00\x00\x00\x01", "the 8-byte stream of empty input")
    damaged = bytearray(zlib.compress(buffers[3], 9))
    damaged[-1] ^= 1
    answer = probe.run("decompress %s bad.out" % put("bad.z", bytes(damaged)))
    check(answer.endswith("data error"), "a wrong checksum raises, not %s" % answer)


def gzip_header(image):
    flags, mtime, xfl, os_byte = image[3], struct.unpack("<I", image[4:8])[0], image[8], image[9]
    name = image[10:image.index(b"\0", 10)] if flags & 8 else None
    return image[:3], flags, mtime, xfl, os_byte, name


def check_gzip(probe, rng):
    for i, data in enumerate([b"", report_text(rng, 50000), os.urandom(20000)]):
        os.makedirs("out_%d" % i, exist_ok=True)
        archive = "out_%d/CompressFiles.tgz" % i
        probe.ok("savegzip %s %s" % (put("g_%d.bin" % i, data), archive))
        image = get(archive)
        check(gzip_header(image) == (b"\x1f\x8b\x08", 8, 0, 0, 0, b"CompressFiles.tar"),
              "gzip header %r" % (gzip_header(image),))
        check(gzip.decompress(image) == data, "python's gzip reads SaveGzip's file %d" % i)
        check(subprocess.run(["gzip", "-t", archive]).returncode == 0, "gzip -t accepts file %d" % i)
        # And back: python's files, with and without a stored name.
        put("py_%d.gz" % i, gzip.compress(data, mtime=1234567))
        probe.ok("loadgzip py_%d.gz py_%d.out" % (i, i))
        check(get("py_%d.out" % i) == data, "LoadGzip reads python's nameless file %d" % i)
        named = io.BytesIO()
        with gzip.GzipFile(filename="named.txt", mode="wb", fileobj=named) as f:
            f.write(data)
        check(gzip_header(named.getvalue())[5] == b"named.txt", "python stored the name")
        put("named_%d.gz" % i, named.getvalue())
        probe.ok("loadgzip named_%d.gz named_%d.out" % (i, i))
        check(get("named_%d.out" % i) == data, "LoadGzip reads python's named file %d" % i)
    answer = probe.run("loadgzip %s cut.out" % put("cut.gz", gzip.compress(b"x" * 1000)[:12]))
    check(answer.startswith("error"), "a cut gzip image is refused, not %s" % answer)


def check_tar(probe, rng):
    file_time = 1700000000
    members = []  # (name in archive, content, mtime)
    probe.ok("tgz Report.tgz")
    for size in (0, 1, 511, 512, 513, 10000):
        content = bytes([0x41 + size % 26]) * size
        put("member_%d.txt" % size, content)
        os.utime("member_%d.txt" % size, (file_time + size, file_time + size))
        probe.ok("file member_%d.txt" % size)
        members.append(("member_%d.txt" % size, content, file_time + size))
    put("renamed_source.log", b"log lines\r\n")
    os.utime("renamed_source.log", (file_time, file_time))
    probe.ok("file renamed_source.log some/folder/renamed.log")
    members.append(("renamed.log", b"log lines\r\n", file_time))
    long_name = "L" * 110 + ".txt"
    for name, seconds in (("stream.bin", 1600000000.75), ("old.bin", -86400), (long_name, 0)):
        content = report_text(rng, 700)
        probe.ok("stream %s %r %s" % (name, seconds, put("s_" + name[:20], content)))
        members.append((name[:100], content, max(0, int(seconds))))
    probe.ok("end")
    check(subprocess.run(["gzip", "-t", "Report.tgz"]).returncode == 0, "gzip -t accepts the archive")

    with tarfile.open("Report.tgz", "r:gz") as archive:
        found = archive.getmembers()
        check([m.name for m in found] == [m[0] for m in members],
              "names %r" % [m.name for m in found])
        for member, (name, content, mtime) in zip(found, members):
            check(member.isreg(), "%s is a regular file" % name)
            check(member.size == len(content), "size of %s: %d" % (name, member.size))
            check(member.mtime == mtime, "mtime of %s: %d, not %d" % (name, member.mtime, mtime))
            check(archive.extractfile(member).read() == content, "content of %s" % name)

    # Header blocks and data rounded to 512 bytes, then ONE zero block.
    raw = gzip.decompress(get("Report.tgz"))
    blocks = sum(1 + (len(content) + 511) // 512 for _, content, _ in members)
    check(len(raw) == 512 * (blocks + 1), "tar image of %d bytes for %d blocks" % (len(raw), blocks))
    check(raw[-512:] == bytes(512) and raw[-1024:-512] != bytes(512), "a single closing zero block")


def main():
    probe_command = sys.argv[2:] + [os.path.abspath(sys.argv[1])]
    rng = random.Random(20261209)
    with tempfile.TemporaryDirectory(prefix="codecs_check_") as folder:
        os.chdir(folder)
        probe = Probe(probe_command)
        try:
            for step in (check_md5, check_base64, check_cipher, check_zlib, check_gzip, check_tar):
                before = len(FAILURES)
                step(probe, rng)
                print("%s: %s" % (step.__name__, "ok" if len(FAILURES) == before else "FAILED"))
        finally:
            probe.close()
            os.chdir("/")
    if FAILURES:
        print("%d failures" % len(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
