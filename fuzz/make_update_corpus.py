#!/usr/bin/env python3
"""Writes the seed inputs of the update_run fuzzer (fuzz/corpus/update_run/): the unit's side of
whole updates that go right, in the fuzzer's input format (see fuzz/update_run.cpp), so that the
fuzzer starts from runs that reach the configuration work, the download and the flash command.

    fuzz/make_update_corpus.py        (from the repository's top directory)

Each input: an options byte, the key typed at a question, then the unit's replies in chunks of a
length byte and that many bytes, one chunk each time the updater looks for input and finds none
waiting. The checksum replies are the byte sums of the blocks the updater sends, worked out here
from the payload files."""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAYLOAD = os.path.join(ROOT, "data", "payload")
OUT = os.path.join(ROOT, "fuzz", "corpus", "update_run")

SW = open(os.path.join(PAYLOAD, "sw_image.bin"), "rb").read()
HW = open(os.path.join(PAYLOAD, "hw_image.bin"), "rb").read()
SW_END, HW_BASE = 0x20732, 0x40000
HW_END = HW_BASE + len(HW)


def table_rows():
    rows = []
    for line in open(os.path.join(PAYLOAD, "release_table.txt")):
        words = line.split("#")[0].split()
        if len(words) == 3 and words[0] != "payload":
            rows.append((int(words[0], 16), int(words[1], 16), int(words[2], 16)))
    return rows


def checksum_of(kind, code):
    rows = table_rows()
    for index, (k, c, s) in enumerate(rows):
        if k == kind and c == code and [r[2] for r in rows].index(s) == index:
            return s
    raise SystemExit("no findable row of kind %d release %06x" % (kind, code))


class Script:
    def __init__(self, options, key):
        self.data = bytearray([options, ord(key)])

    def chunk(self, text):
        raw = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        while True:
            part, raw = raw[:63], raw[63:]
            self.data.append(len(part))
            self.data += part
            if not raw:
                return

    def nothing(self):
        self.data.append(0)

    def checksum(self, value):
        self.chunk("CS=%08X" % value)

    def read_block(self, memory):
        # One chunk of up to 63 characters feeds the pair reads until it is used up; the drain
        # after the pairs then finds nothing.
        text = "".join("%02X" % b for b in memory)
        pos = 0
        while pos < len(text):
            take = min(62, len(text) - pos)
            self.chunk(text[pos:pos + take])
            pos += take
        self.nothing()
        self.checksum(sum(memory))


def connect(script):
    script.chunk("Ok")          # first contact at 9600
    script.chunk("Ok")          # burst probe at the wanted speed
    script.nothing()            # the drain after it
    script.chunk("Ok")          # single probe
    script.chunk("GOk")
    script.chunk("HOk")


def finish_config(script, lowered):
    for reply in ("Ok", "T", "V0"):
        script.chunk(reply)
    if lowered:
        script.chunk("Ok")      # probe back at the negotiated speed


def download(script, second_image):
    script.chunk("Ok")          # probe after the message
    for start, end, source, base in ((0, 0x4000, SW, 0), (0x8000, SW_END, SW, 0)) + (
            ((HW_BASE, HW_END, HW, HW_BASE),) if second_image else ()):
        for address in range(start, end, 0x400):
            block = source[address - base:min(address + 0x400, end) - base]
            script.checksum(sum(block))


def record_checksum(record, size):
    total = 0
    for offset in range(8, size - 5, 2):
        total += record[offset] | (record[offset + 1] << 8)
    return total & 0xFFFF


def store_checksum(record, size):
    struct.pack_into("<H", record, size - 4, record_checksum(record, size))


def convert_zero_v1_region():
    """Six zero records of the oldest layout, converted to the newest as the Pro payload does."""
    buffer = bytearray(16848)
    v2 = bytearray(6 * 2512)
    for i in range(6):
        src = bytes(2480)
        dst = bytearray(2512)
        dst[0:26] = src[0:26]
        dst[26:34] = b"\x04" * 8
        dst[34:42] = b"\x05" * 8
        dst[42:50] = b"\x80" * 8
        dst[50:58] = b"\x7c" * 8
        dst[60:60 + 2448] = src[28:28 + 2448]
        store_checksum(dst, 2512)
        v2[i * 2512:(i + 1) * 2512] = dst
    for i in range(6):
        src = v2[i * 2512:(i + 1) * 2512]
        dst = bytearray(2808)
        dst[0:2444] = src[0:2444]
        dst[2444:2740] = src[76:372]
        dst[2740:2804] = src[2444:2508]
        store_checksum(dst, 2808)
        buffer[i * 2808:(i + 1) * 2808] = dst
    return buffer


def write_back(script, converted, size):
    for i in range(6):
        for offset in range(0, size, 256):
            block = converted[i * size + offset:i * size + min(offset + 256, size)]
            script.checksum(sum(block))


def main():
    os.makedirs(OUT, exist_ok=True)
    inputs = {}

    # A Pro unit on 110503: no configuration work, the main image only.
    s = Script(0, "q")
    connect(s)
    s.checksum(checksum_of(1, 0x110503))
    finish_config(s, False)
    download(s, False)
    inputs["flash_main_image_only"] = s

    # A Pro unit on 101203 at 9600 (-s2): the second image as well.
    s = Script(3, "q")
    connect(s)
    s.checksum(checksum_of(1, 0x101203))
    finish_config(s, False)
    download(s, True)
    inputs["flash_both_images"] = s

    # An unknown unit, confirmed with y, whose configuration area is all zero: the line drops to
    # 14400 for the format check, which finds no older layout.
    s = Script(0, "y")
    connect(s)
    s.checksum(0x123456)
    s.chunk("Ok")               # probe at 14400
    for offset in range(0, 2512, 64):
        s.read_block(bytes(min(64, 2512 - offset)))
    finish_config(s, True)
    download(s, True)
    inputs["flash_unknown_unit"] = s

    # A Pro unit on 031003, whose records are of the oldest layout (all zero here): read out at
    # 14400, converted and written back, then both images.
    s = Script(0, "q")
    connect(s)
    s.checksum(checksum_of(1, 0x031003))
    s.chunk("Ok")               # probe at 14400
    for offset in range(0, 15072, 64):
        s.read_block(bytes(min(64, 15072 - offset)))
    write_back(s, convert_zero_v1_region(), 2808)
    finish_config(s, True)
    download(s, True)
    inputs["flash_after_conversion"] = s

    for name, script in inputs.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(script.data)
        print("%s: %d bytes" % (name, len(script.data)))


if __name__ == "__main__":
    main()
