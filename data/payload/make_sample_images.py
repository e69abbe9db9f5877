#!/usr/bin/env python3
"""Writes the sample firmware images sw_image.bin and hw_image.bin next to this script.

The sample images stand in for a release's own images so that the updater builds and runs
without them. They are made from a fixed-seed generator, so every run writes the same bytes:

    python3 data/payload/make_sample_images.py      # rewrites both files in data/payload/

What they hold (offsets are unit addresses for sw_image.bin, and unit address 0x40000 + offset
for hw_image.bin):

sw_image.bin, 0x20732 bytes
  0x00000-0x008BB  boot code and strings, every byte non-zero
  0x008BC-0x03FFF  zero (so the 13 blocks 0x00C00..0x03C00 of the first range are all zero)
  0x04000-0x07FFF  zero: the unit keeps its configuration there and it is never sent
  0x08000-0x206D8  main code, strings and tables, mostly non-zero, no 1024-byte block all zero;
                   the bytes 0x08000-0x15FFF (the code region that identifies the firmware) sum
                   to exactly 0x4A80EB, the checksum of the payload's own Pro row in
                   release_table.txt
  0x206D9-0x20731  zero

hw_image.bin, 0x2C01E bytes
  configuration frames, each block of 1024 bytes holding some non-zero bytes, except
  offsets 0x1C800-0x1FFFF (unit addresses 0x5C800-0x5FFFF): 14 all-zero 1024-byte blocks,
  padding up to the section that starts at offset 0x20000. The last 30 bytes (offset 0x2C000)
  are a non-zero trailer.

The script checks all of this before it writes anything and stops with a message otherwise.
"""

import os
import sys

SW_SIZE = 0x20732
HW_SIZE = 0x2C01E
BLOCK = 1024

SW_BOOT_END = 0x008BC          # first zero byte after the boot code
SW_CONFIG_START = 0x04000
SW_CODE_START = 0x08000
SW_CODE_END = 0x206D9          # first zero byte after the main code
ID_REGION_START = 0x08000
ID_REGION_END = 0x16000
ID_CHECKSUM = 0x4A80EB

HW_ZERO_START = 0x1C800
HW_ZERO_END = 0x20000
HW_TRAILER = 30


class Rng:
    """xorshift32: small, fixed and the same on every Python version."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n

    def pick(self, items):
        return items[self.below(len(items))]


# Opcode bytes of a made-up 8-bit instruction set, with how many operand bytes each takes.
# Frequent opcodes are listed more than once.
OPCODES = [
    (0x12, 2), (0x12, 2), (0x02, 2), (0x22, 0), (0x22, 0), (0x74, 1), (0x74, 1), (0x75, 2),
    (0x78, 1), (0x79, 1), (0x90, 2), (0x90, 2), (0xE0, 0), (0xE0, 0), (0xF0, 0), (0xF0, 0),
    (0xA3, 0), (0xA3, 0), (0xE5, 1), (0xE5, 1), (0xF5, 1), (0xF5, 1), (0x60, 1), (0x70, 1),
    (0x80, 1), (0xB4, 2), (0x24, 1), (0x34, 1), (0x54, 1), (0x44, 1), (0xC3, 0), (0x94, 1),
    (0x40, 1), (0x50, 1), (0xD8, 1), (0xDF, 1), (0x08, 0), (0x09, 0), (0x18, 0), (0x04, 0),
    (0x14, 0), (0xC0, 1), (0xD0, 1), (0x30, 2), (0x20, 2), (0xC2, 1), (0xD2, 1), (0x32, 0),
    (0x25, 1), (0x35, 1), (0x93, 0), (0x83, 0), (0x03, 0), (0x13, 0), (0x23, 0), (0x33, 0),
    (0x0F, 0), (0x1F, 0), (0x2F, 0), (0x3F, 0), (0x46, 0), (0x56, 0), (0x66, 0), (0x11, 2),
]

WORDS = [
    "VIDEO", "INPUT", "OUTPUT", "SCALER", "FRAME", "LOCK", "SYNC", "MODE", "PANEL", "GAMMA",
    "COLOR", "TINT", "BRIGHT", "CONTRAST", "SHARP", "OVERSCAN", "ASPECT", "ZOOM", "MENU",
    "REMOTE", "SERIAL", "PRESET", "MEMORY", "RESET", "FACTORY", "LOAD", "SAVE", "AUTO",
    "ERROR", "READY", "NTSC", "PAL", "SECAM", "RGBHV", "YPBPR", "COMPONENT", "S-VIDEO",
    "COMPOSITE", "DVI", "PIXEL", "LINE", "FIELD", "DEINTERLACE", "FILM", "MOTION", "NOISE",
    "LEVEL", "BLACK", "WHITE", "RED", "GREEN", "BLUE", "HUE", "PHASE", "CLOCK", "TIMING",
]


def code_bytes(rng, length, allow_zero):
    """Instruction stream: opcodes with short immediates and 16-bit addresses."""
    out = bytearray()
    while len(out) < length:
        opcode, operands = rng.pick(OPCODES)
        out.append(opcode)
        for i in range(operands):
            if operands == 2 and i == 0:
                value = 0x60 + rng.below(0x80)      # high byte of a code or data address
            elif rng.below(6) == 0:
                value = rng.below(0x100)
            else:
                value = rng.below(0x20)             # small immediates and register numbers
            if value == 0 and not allow_zero:
                value = 0x01
            out.append(value)
    return out[:length]


def string_bytes(rng, length, terminator):
    """Messages of upper-case words, each ended by the terminator byte."""
    out = bytearray()
    while len(out) < length:
        words = [rng.pick(WORDS) for _ in range(1 + rng.below(4))]
        out += " ".join(words).encode("ascii") + bytes([terminator])
    return out[:length]


def table_bytes(rng, length, allow_zero):
    """A lookup table of rising 16-bit values, low byte first."""
    out = bytearray()
    value = 0x0100 + rng.below(0x400)
    while len(out) < length:
        value = (value + 1 + rng.below(0x60)) & 0xFFFF
        low, high = value & 0xFF, value >> 8
        if not allow_zero:
            low, high = low or 0x01, high or 0x01
        out += bytes([low, high])
    return out[:length]


def firmware_bytes(rng, length, allow_zero):
    """Code, messages and tables in turn, starting with code (the entry point)."""
    out = code_bytes(rng, 64, allow_zero)
    while len(out) < length:
        kind = rng.below(10)
        if kind < 7:
            out += code_bytes(rng, 48 + rng.below(400), allow_zero)
        elif kind < 9:
            out += string_bytes(rng, 16 + rng.below(120), 0x00 if allow_zero else 0xFF)
        else:
            out += table_bytes(rng, 32 + rng.below(96), allow_zero)
    return out[:length]


def adjust_sum(rng, data, start, end, target):
    """Moves non-zero bytes in data[start:end] up or down by small steps until they sum to
    target, keeping every changed byte within 1..255."""
    diff = target - sum(data[start:end])
    while diff != 0:
        i = start + rng.below(end - start)
        if data[i] == 0:
            continue
        step = min(abs(diff), 1 + rng.below(6))
        if diff > 0 and data[i] + step <= 0xFF:
            data[i] += step
            diff -= step
        elif diff < 0 and data[i] - step >= 1:
            data[i] -= step
            diff += step


def make_sw_image():
    rng = Rng(0x51A7E0DE)
    image = bytearray(SW_SIZE)
    image[0:SW_BOOT_END] = firmware_bytes(rng, SW_BOOT_END, allow_zero=False)
    image[SW_CODE_START:SW_CODE_END] = firmware_bytes(rng, SW_CODE_END - SW_CODE_START, True)
    # The last byte of each stretch is the end of real content, so make it non-zero.
    image[SW_BOOT_END - 1] = image[SW_BOOT_END - 1] or 0x22
    image[SW_CODE_END - 1] = image[SW_CODE_END - 1] or 0x22
    adjust_sum(rng, image, ID_REGION_START, ID_REGION_END, ID_CHECKSUM)
    return image


def make_hw_image():
    rng = Rng(0x0B17F1E5)
    image = bytearray()
    frame = 0
    while len(image) < HW_ZERO_START:
        # A frame: a header word with the frame number, then mostly sparse configuration bits.
        body = bytearray([0xC5, 0x3A, frame & 0xFF, (frame >> 8) & 0xFF])
        for _ in range(60):
            roll = rng.below(8)
            if roll < 3:
                body.append(0x00)
            elif roll < 5:
                body.append(0xFF)
            else:
                body.append(1 << rng.below(8) | (rng.below(0x100) & rng.below(0x100)))
        image += body
        frame += 1
    del image[HW_ZERO_START:]
    image += bytes(HW_ZERO_END - HW_ZERO_START)
    # Second section: a lookup memory initialisation of 16-bit samples.
    phase = rng.below(0x1000)
    while len(image) < HW_SIZE - HW_TRAILER:
        phase = (phase + 37 + rng.below(11)) & 0xFFF
        sample = (phase * phase) >> 8 & 0xFFFF | 0x0101
        image += bytes([sample & 0xFF, sample >> 8])
    del image[HW_SIZE - HW_TRAILER:]
    trailer = bytearray(b"QHW-END!")
    trailer += bytes([0xA5] * 2)
    trailer += bytes(1 + rng.below(0xFF) for _ in range(HW_TRAILER - len(trailer)))
    image += trailer
    return image


def zero_blocks(data, start, end):
    """Start offsets of the all-zero 1024-byte blocks of data[start:end]."""
    return [a for a in range(start, end - BLOCK + 1, BLOCK) if not any(data[a:a + BLOCK])]


def check(sw, hw):
    problems = []
    if len(sw) != SW_SIZE:
        problems.append("sw_image size %d" % len(sw))
    if len(hw) != HW_SIZE:
        problems.append("hw_image size %d" % len(hw))
    if 0 in sw[0:SW_BOOT_END]:
        problems.append("zero byte in the boot code")
    if any(sw[SW_BOOT_END:SW_CODE_START]):
        problems.append("non-zero byte in 0x008BC..0x07FFF")
    if any(sw[SW_CODE_END:]):
        problems.append("non-zero byte after 0x206D8")
    if sw[SW_CODE_START] == 0 or sw[SW_CODE_END - 1] == 0:
        problems.append("main code does not start or end with a non-zero byte")
    if sw[SW_CODE_START:SW_CODE_END].count(0) * 4 > SW_CODE_END - SW_CODE_START:
        problems.append("main code is more than a quarter zero")
    if sum(sw[ID_REGION_START:ID_REGION_END]) != ID_CHECKSUM:
        problems.append("code region sums to %x" % sum(sw[ID_REGION_START:ID_REGION_END]))
    sw_zero = zero_blocks(sw, 0, SW_CONFIG_START) + zero_blocks(sw, SW_CODE_START, SW_SIZE)
    if sw_zero != list(range(0x0C00, 0x4000, BLOCK)):
        problems.append("sw_image zero blocks %s" % [hex(a) for a in sw_zero])
    hw_zero = zero_blocks(hw, 0, HW_SIZE)
    if hw_zero != list(range(HW_ZERO_START, HW_ZERO_END, BLOCK)) or len(hw_zero) != 14:
        problems.append("hw_image zero blocks %s" % [hex(a) for a in hw_zero])
    if not any(hw[HW_SIZE - HW_TRAILER:]):
        problems.append("hw_image trailer is zero")
    return problems


def main():
    sw = make_sw_image()
    hw = make_hw_image()
    problems = check(sw, hw)
    if problems:
        sys.stderr.write("make_sample_images.py: %s\n" % "; ".join(problems))
        return 1
    here = os.path.dirname(os.path.abspath(__file__))
    for name, data in (("sw_image.bin", sw), ("hw_image.bin", hw)):
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
