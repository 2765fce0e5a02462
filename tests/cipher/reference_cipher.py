#!/usr/bin/env python3
"""Independent model of the session cipher, used by the cipher tests.

It is written from the cipher's description alone (RC5-32 in pure Python, MD5
and SHA-1 from hashlib) so that the C++ library is checked against a second,
separately written implementation rather than against itself.

Usage:
  reference_cipher.py selftest      checks the model against published vectors
  reference_cipher.py batch         answers requests read from stdin, one per line

A request is "<op> name=value ..." (the operations are in handle(); "local"
and "remote" are the client's and the server's exchange records). Byte values
are hex, an empty value being an empty string; numbers are decimal. Each
answer is one line of hex fields separated by blanks, or "error <text>".
"""

import hashlib
import struct
import sys

MASK32 = 0xFFFFFFFF
RC5_P32 = 0xB7E15163
RC5_Q32 = 0x9E3779B9

DEFAULT_KEY_MATERIAL = b"5820746913fbdaec"
ROUNDS = {0: 8, 1: 16, 2: 20, 3: 20}
MAC_LENGTH = {1: 3, 2: 3, 3: 16}


def rotl(x, n):
    n &= 31
    return ((x << n) | (x >> (32 - n))) & MASK32 if n else x


def rotr(x, n):
    n &= 31
    return ((x >> n) | (x << (32 - n))) & MASK32 if n else x


class Rc5:
    """RC5 with 32-bit words, any key length, any round count."""

    def __init__(self, key, rounds):
        self.rounds = rounds
        c = max(1, (len(key) + 3) // 4)
        words = [0] * c
        for i in range(len(key) - 1, -1, -1):
            words[i // 4] = ((words[i // 4] << 8) + key[i]) & MASK32
        t = 2 * (rounds + 1)
        s = [0] * t
        s[0] = RC5_P32
        for i in range(1, t):
            s[i] = (s[i - 1] + RC5_Q32) & MASK32
        a = b = i = j = 0
        for _ in range(3 * max(t, c)):
            a = s[i] = rotl((s[i] + a + b) & MASK32, 3)
            b = words[j] = rotl((words[j] + a + b) & MASK32, (a + b) & MASK32)
            i = (i + 1) % t
            j = (j + 1) % c
        self.s = s

    def encrypt(self, block):
        a, b = struct.unpack("<II", bytes(block))
        s = self.s
        a = (a + s[0]) & MASK32
        b = (b + s[1]) & MASK32
        for i in range(1, self.rounds + 1):
            a = (rotl(a ^ b, b) + s[2 * i]) & MASK32
            b = (rotl(b ^ a, a) + s[2 * i + 1]) & MASK32
        return struct.pack("<II", a, b)

    def decrypt(self, block):
        a, b = struct.unpack("<II", bytes(block))
        s = self.s
        for i in range(self.rounds, 0, -1):
            b = rotr((b - s[2 * i + 1]) & MASK32, a) ^ a
            a = rotr((a - s[2 * i]) & MASK32, b) ^ b
        b = (b - s[1]) & MASK32
        a = (a - s[0]) & MASK32
        return struct.pack("<II", a, b)


def md5(data):
    return hashlib.md5(bytes(data)).digest()


def sha1(data):
    return hashlib.sha1(bytes(data)).digest()


def key_digest():
    return md5(DEFAULT_KEY_MATERIAL)


# ---- exchange values --------------------------------------------------------

def local_check_digest(record):
    r = bytes(record)
    return md5(r[148:152] + r[2:6] + r[18:146] + key_digest() + r[148:152])


def remote_check_digest(record):
    r = bytes(record)
    return md5(r[26:28] + r[2:6] + r[18:26] + key_digest())


def place_checks(value, digest):
    value[0:2] = digest[0:2]
    value[6:8] = digest[2:4]
    value[8:12] = digest[4:8]
    value[12:16] = digest[8:12]


def make_exchange_value(record, seed):
    r = bytearray(record)
    r[2:6] = struct.pack("<I", seed)
    place_checks(r, local_check_digest(r))
    return bytes(r[0:16])


def server_exchange_value(record):
    """The value a server puts in its reply so that the client's check passes."""
    r = bytearray(record)
    place_checks(r, remote_check_digest(r))
    return bytes(r[0:16])


# ---- keys and authentication ------------------------------------------------

def level0_key(k):
    return md5(k + k[1:9] + k[2:10] + k[3:11])


def packet_key(k, local_half, remote_half):
    return md5(sha1(remote_half) + md5(sha1(k) + local_half))


def block_key(k, variant):
    if variant:
        return md5(sha1(k))
    return md5(k + k[1:] + k[2:] + k[3:])


def mac(payload, k, level):
    if level == 1:
        data = payload[:10] + k[:10]
    else:
        data = payload + k[:16]
    return md5(data)[:MAC_LENGTH[level]]


# ---- block passes -----------------------------------------------------------

def block_passes(data, b, t, level, cipher, encrypt):
    buf = bytearray(data)
    step = cipher.encrypt if encrypt else cipher.decrypt
    end = 8 * b

    def wrap():
        block = step(buf[0:4] + buf[end - 4:end])
        buf[0:4] = block[0:4]
        buf[end - 4:end] = block[4:8]

    def run(offsets):
        for off in offsets:
            buf[off:off + 8] = step(buf[off:off + 8])

    def shifted():
        run(range(4, 4 + 8 * (b - 1), 8))

    def aligned():
        run(range(0, end, 8))

    def tail():
        run(range(t, t + end, 8))

    # Decryption takes the same steps in the same order, but with the tail
    # pass first instead of last.
    steps = ([wrap, shifted, aligned] if level == 3 else []) + [wrap, shifted]
    tail_steps = [tail] if t else []
    for step_fn in (steps + tail_steps if encrypt else tail_steps + steps):
        step_fn()
    return bytes(buf)


# ---- packets and messages ---------------------------------------------------

def encrypt_packet(level, k, local_half, remote_half, pad, payload):
    """Levels 1 to 3, as either side sends them."""
    p = len(pad)
    code = mac(payload, k, level)
    region = pad + payload
    cipher = Rc5(packet_key(k, local_half, remote_half), ROUNDS[level])
    body = block_passes(region, len(region) // 8, 0, level, cipher, True)
    return bytes([0x20 + (p & 0x1F)]) + code + body


def encrypt_level0_plain(k, pad, payload):
    """Block by block: the client's slot packets, the server's control messages."""
    data = bytes([len(pad)]) + pad + payload
    cipher = Rc5(level0_key(k), 8)
    return b"".join(cipher.encrypt(data[i:i + 8]) for i in range(0, len(data), 8))


def encrypt_level0_chained(k, pad, payload):
    """Chained on the first encrypted block: the client's control messages, the
    server's slot packets."""
    data = bytes([len(pad)]) + pad + payload
    cipher = Rc5(level0_key(k), 8)
    first = cipher.encrypt(data[0:8])
    out = [first]
    for i in range(8, len(data), 8):
        mixed = bytes(x ^ y for x, y in zip(data[i:i + 8], first))
        out.append(cipher.encrypt(mixed))
    return b"".join(out)


def crypt_block(flags, level, k, data):
    """Encrypt direction; answers the data and the digest field."""
    digest = md5(data + k) if flags & 4 else bytes(16)
    cipher = Rc5(block_key(k, flags & 8), ROUNDS[level])
    out = block_passes(data, len(data) // 8, len(data) % 8, level, cipher, True)
    return out, digest


def public_key_transform(e, modulus, message):
    n = int.from_bytes(modulus, "big")
    m = int.from_bytes(message, "big")
    return pow(m, e, n).to_bytes(len(modulus), "big")


# ---- request handling -------------------------------------------------------

def handle(op, a):
    def h(name):
        return bytes.fromhex(a[name])

    def n(name):
        return int(a[name])

    if op == "rc5enc":
        return [Rc5(h("key"), n("rounds")).encrypt(h("block"))]
    if op == "rc5dec":
        return [Rc5(h("key"), n("rounds")).decrypt(h("block"))]
    if op == "md5":
        return [md5(h("data"))]
    if op == "sha1":
        return [sha1(h("data"))]
    if op == "keydigest":
        return [key_digest()]
    if op == "exchange":
        return [make_exchange_value(h("record"), n("seed"))]
    if op == "serverexchange":
        return [server_exchange_value(h("record"))]
    if op == "packet":
        halves = local_check_digest(h("local")), remote_check_digest(h("remote"))
        return [encrypt_packet(n("level"), h("key"), *halves, h("pad"), h("payload"))]
    if op == "slot0":
        return [encrypt_level0_plain(h("key"), h("pad"), h("payload"))]
    if op == "chained0":
        return [encrypt_level0_chained(h("key"), h("pad"), h("payload"))]
    if op == "cryptblock":
        return list(crypt_block(n("flags"), n("level"), h("key"), h("data")))
    if op == "powmod":
        return [public_key_transform(n("e"), h("modulus"), h("message"))]
    raise ValueError("unknown op " + op)


def batch():
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        op, *fields = line.split(" ")
        args = dict(f.split("=", 1) for f in fields)
        try:
            print(" ".join(x.hex() for x in handle(op, args)))
        except Exception as exc:  # one bad request must not hide the answers to the others
            print("error", exc)
        sys.stdout.flush()


# RC5-32/12/16 vectors from the RC5 paper: (key, plain, cipher).
PAPER_VECTORS = [
    ("00000000000000000000000000000000", "0000000000000000", "21a5dbee154b8f6d"),
    ("915f4619be41b2516355a50110a9ce91", "21a5dbee154b8f6d", "f7c013ac5b2b8952"),
    ("783348e75aeb0f2fd7b169bb8dc16787", "f7c013ac5b2b8952", "2f42b3b70369fc92"),
    ("dc49db1375a5584f6485b413b5f12baf", "2f42b3b70369fc92", "65c178b284d197cc"),
    ("5269f149d41ba0152497574d7f153125", "65c178b284d197cc", "eb44e415da319824"),
]


def selftest():
    for key, plain, expected in PAPER_VECTORS:
        c = Rc5(bytes.fromhex(key), 12)
        got = c.encrypt(bytes.fromhex(plain))
        assert got.hex() == expected, (key, got.hex())
        assert c.decrypt(got).hex() == plain
    assert md5(b"abc").hex() == "900150983cd24fb0d6963f7d28e17f72"
    assert sha1(b"abc").hex() == "a9993e364706816aba3e25717850c26c9cd0d89d"
    assert key_digest().hex() == "6b1c1639da23116c111aed928c1b809c"
    print("ok")


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "batch":
        batch()
    elif len(sys.argv) == 2 and sys.argv[1] == "selftest":
        selftest()
    else:
        sys.exit(__doc__)
