#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/.

The structured targets read their input through libFuzzer's
FuzzedDataProvider, which takes byte strings from the front of the input and
integers from its back; Seed lays a seed out the same way, so that each seed
starts the fuzzer on a meaningful stream. Run it again after changing how a
target reads its input.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target consumes it

    def int_range(self, low, high, value):
        span = high - low
        value -= low
        assert 0 <= value <= span
        width = 0
        while width < 8 and (span >> (8 * width)) > 0:
            width += 1
        for shift in reversed(range(width)):  # most significant byte first
            self.back.append((value >> (8 * shift)) & 0xFF)
        return self

    def boolean(self, value):
        self.back.append(1 if value else 0)
        return self

    def raw(self, data):
        self.front += bytes(data)
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


# StreamBuilder operations (fuzz/frame_stream.hpp); `keys` is the number of
# identities the target hands it.
class Stream(Seed):
    def __init__(self, keys):
        super().__init__()
        self.keys = keys

    def op(self, number):
        return self.int_range(0, 8, number)

    def raw_bytes(self, data):
        return self.op(0).int_range(0, 64, len(data)).raw(data)

    def length_word(self, value):
        return self.op(1).int_range(0, 2**32 - 1, value)

    def short_frame(self, body):
        return self.op(2).int_range(0, 80, len(body)).raw(body)

    def sealed(self, plaintext):
        return self.op(3).int_range(0, 96, len(plaintext)).raw(plaintext)

    def _packet(self, type_, key, payload, declared=None, trailing=None):
        if type_ in (1, 2):
            self.boolean(True).int_range(0, 1, type_ - 1)
        else:
            self.boolean(False).int_range(0, 255, type_)
        if isinstance(key, int):  # one of the known identities
            self.int_range(0, self.keys, key)
        else:  # 32 copies of one byte
            self.int_range(0, self.keys, self.keys).int_range(0, 255, key[0])
        self.int_range(0, 200, len(payload)).raw(payload)
        if declared is None:
            self.boolean(True)
        else:
            self.boolean(False).int_range(0, 2**32 - 1, declared)
        if trailing is None:
            self.boolean(True)
        else:
            self.boolean(False).raw(trailing)
        return self

    def packet(self, type_, key, payload, declared=None, trailing=None):
        return self.op(4)._packet(type_, key, payload, declared, trailing)

    def replay(self):
        return self.op(5)

    def skip_nonce(self):
        return self.op(6)

    def flipped(self, type_, key, payload, at, bit):
        self.op(7)._packet(type_, key, payload)
        size = 4 + 16 + 37 + len(payload)
        return self.int_range(0, size - 1, at).int_range(0, 7, bit)

    def burst(self, count, payload):
        return self.op(8).int_range(1, 64, count).int_range(0, 8, len(payload)).raw(payload)


def client_receive():
    chunks = [1, 2, 3, 4, 5, 17, 53, 4096, "all"]

    def seed(chunk):
        return Stream(2).int_range(0, len(chunks) - 1, chunks.index(chunk))

    yield "two-messages", seed(1).packet(2, 0, b"hello").packet(1, 1, "héllo".encode()).data()
    yield "bad-then-good", (seed("all").packet(2, 0, b"one").skip_nonce().packet(2, 1, b"late")
                            .replay().flipped(2, 0, b"flip", 30, 3).packet(2, 0, b"after").data())
    # Each short frame uses up a receive nonce; the skips keep the sender in step.
    yield "short-frames", (seed(3).short_frame(b"").short_frame(bytes(15)).short_frame(bytes(52))
                           .skip_nonce().skip_nonce().skip_nonce().packet(2, 0, b"ok").data())
    yield "unparsable", (seed(17).sealed(bytes(36)).sealed(bytes(37)).packet(2, 0, b"abc", declared=9)
                         .packet(0, b"\x00", b"", trailing=b"trailing").packet(2, 0, b"end").data())
    yield "burst-then-huge", seed(53).burst(40, b"x").length_word(0xFFFFFFFF).packet(2, 0, b"never").data()
    yield "mid-frame-end", seed(5).packet(2, 0, b"whole").length_word(200).raw_bytes(b"partial body").data()


def server_frames():
    yield "broadcast-and-directs", (Stream(3).packet(2, 0, b"to all").packet(1, 1, b"to b").packet(1, 2, b"to c")
                                    .packet(1, 0, b"to self").packet(1, b"\x77", b"to nobody").data())
    yield "dropped-then-relayed", (Stream(3).packet(2, 0, b"").packet(7, 0, b"odd type")
                                   .packet(2, 0, b"abc", declared=1000).packet(2, 0, b"x", trailing=b"12345678")
                                   .packet(2, 1, b"relayed").data())
    yield "flood", Stream(3).burst(64, b"12345678").burst(64, b"abc").packet(2, 0, b"last").data()
    yield "replay", Stream(3).packet(2, 0, b"once").replay().packet(2, 0, b"never").data()
    yield "out-of-step", Stream(3).packet(2, 0, b"first").skip_nonce().packet(2, 0, b"never").data()
    yield "too-short", Stream(3).packet(2, 0, b"first").short_frame(bytes(52)).data()
    yield "oversized", Stream(3).packet(2, 0, b"first").length_word(16 * 1024 * 1024 + 1).data()


def hello():
    def initial(version=1, flag=0, pow_nonce=0):
        body = bytearray(101)
        body[64:72] = pow_nonce.to_bytes(8, "little")
        body[96:100] = version.to_bytes(4, "big")
        body[100] = flag
        return bytes(body)

    yield "known", Seed().int_range(0, 3, 2).raw(initial()).data()
    yield "new-without-proof", Seed().int_range(0, 3, 2).raw(initial(flag=1, pow_nonce=12345)).data()
    yield "version-2", Seed().int_range(0, 3, 2).raw(initial(version=2)).data()
    yield "flag-2", Seed().int_range(0, 3, 2).raw(initial(flag=2)).data()
    yield "unsigned", Seed().int_range(0, 3, 1).raw(initial() + bytes(64)).data()
    yield "raw", Seed().int_range(0, 3, 0).raw(bytes(range(213))).data()
    yield "welcome", Seed().int_range(0, 3, 3).raw(bytes(range(76))).data()


def packet():
    key = bytes(range(1, 33))
    yield "empty", bytes(37)
    yield "hi-with-trailing", b"\x02" + key + b"\x00\x00\x00\x02hi..."
    yield "declared-too-long", b"\x02" + key + b"\x00\x00\x00\x09abc"
    yield "huge-length", b"\x01" + key + b"\xff\xff\xff\xffabc"
    yield "one-short", bytes(36)


def utf8():
    yield "ascii", b"hi"
    yield "accented", "héllo".encode()
    yield "four-byte", "😀 ok".encode()
    yield "bom", b"\xef\xbb\xbfbom"
    yield "invalid", b"a\xffb"
    yield "cut-short", b"a\xc3"
    yield "past-unicode", b"\xf4\x90\x80\x80"


def key_decode():
    def keys(*values):
        seed = Seed()
        for v in values:
            if v is None:
                seed.int_range(0, 3, 0)
            elif v > 0xFF:
                seed.int_range(0, 3, 1).int_range(0x100, 0x3FF, v)
            else:
                seed.int_range(0, 3, 2).int_range(0, 255, v)
        return seed.data()

    yield "e-acute", keys(0xC3, 0xA9, None, None, None)
    yield "lead-then-letter", keys(0xC3, ord("a"), None, None, None)
    yield "lead-then-nothing", keys(0xC3, None, None, None, None)
    yield "euro", keys(0xE2, 0x82, 0xAC, None, None)
    yield "emoji", keys(0xF0, 0x9F, 0x98, 0x80, None)
    yield "surrogate", keys(0xED, 0xA0, 0x80, None, None)
    yield "key-code", keys(0x102, None, None, None, None)
    yield "key-code-lead", keys(0x1C5, 0x85, None, None, None)


TARGETS = {
    "client_receive_fuzz": client_receive,
    "server_frames_fuzz": server_frames,
    "hello_fuzz": hello,
    "packet_fuzz": packet,
    "utf8_fuzz": utf8,
    "key_decode_fuzz": key_decode,
}

if __name__ == "__main__":
    for target, seeds in TARGETS.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name, data in seeds():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)
    sys.exit(0)
