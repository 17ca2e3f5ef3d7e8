#!/usr/bin/env python3
"""Writes the crafted seed inputs of fuzz/corpus/. The real TIMs in
tests/data/real are used as seeds directly (see .ci/hardening.sh), so they
are not copied here. Run from anywhere; rewrites the crafted files only."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def tim(flags, clut=None, clut_len=None, clut_wh=(16, 1), image_len=None,
        w=1, h=1, pixels=b"", clut_cap=1024):
    b = struct.pack("<II", 0x10, flags)
    if flags & 8:
        entries = clut if clut is not None else b""
        n = clut_len if clut_len is not None else 12 + 2 * clut_wh[0] * clut_wh[1]
        # A claimed length beyond `clut_cap` is a lie the file does not back.
        body_len = min(max(n - 12, 0), clut_cap)
        body = entries.ljust(body_len, b"\0")[:body_len]
        b += struct.pack("<IHHHH", n, 0, 480, clut_wh[0], clut_wh[1]) + body
    n = image_len if image_len is not None else 12 + len(pixels)
    b += struct.pack("<IHHHH", n & 0xFFFFFFFF, 0, 0, w, h) + pixels
    return b


def ramp(n):
    return bytes(i & 255 for i in range(n))


clut16 = b"".join(struct.pack("<H", i * 0x0421) for i in range(16))
T4 = tim(0x08, clut=clut16, w=8, h=16, pixels=ramp(256))  # 32x16, 320 bytes
T8 = tim(0x09, clut_wh=(256, 1), w=3, h=2, pixels=ramp(12))  # W 6: padded rows
T15 = tim(0x02, w=5, h=3, pixels=ramp(30))
T24 = tim(0x03, w=3, h=2, pixels=ramp(12))  # W 2, odd run of pixels
MIX = tim(0x0C, clut_wh=(256, 1), w=2, h=2, pixels=ramp(8))

TIMS = {
    "t4_32x16": T4,
    "t8_w3": T8,
    "t15_5x3": T15,
    "t24_w3": T24,
    "mixed": MIX,
    "t4_clut_no_rows": tim(0x08, clut_len=12, w=2, h=2, pixels=ramp(4)),
    "t8_two_clut_rows": tim(0x09, clut_wh=(256, 2), w=2, h=2, pixels=ramp(8)),
    "t4_clut_65535_rows": tim(0x08, clut_len=65535 * 32 + 12, clut_wh=(16, 65535)),
    "t8_clut_65535_rows": tim(0x09, clut_len=65535 * 512 + 12, clut_wh=(256, 65535)),
    "t15_65535x65535": tim(0x02, w=65535, h=65535, pixels=ramp(64)),
    "t4_65535x65535": tim(0x08, clut=clut16, w=65535, h=65535, pixels=ramp(64)),
    "t24_65535x65535": tim(0x03, w=65535, h=65535, pixels=ramp(64)),
    "t4_total_wraps": tim(0x08, clut=clut16, image_len=0xFFFFFFF0, w=8, h=16,
                          pixels=ramp(40)),
    "t15_total_wraps_to_7": tim(0x02, image_len=0xFFFFFFFF, w=2, h=2, pixels=ramp(8)),
    "t24_width_zero": tim(0x03, w=1, h=4, pixels=ramp(12)),
    "t4_width_wraps_to_zero": tim(0x08, clut=clut16, w=0x4000, h=1, pixels=ramp(16)),
    "t4_one_byte_short": T4[:-1],
    "t15_header_past_end": T15[:18],
    "header_only": struct.pack("<II", 0x10, 0x08),
    "flags_garbage": tim(0x0028F609, clut_wh=(256, 1), w=2, h=2, pixels=ramp(8)),
    "back_to_back": T4 + T15 + T8 + T24 + b"\x10\0\0\0\x08\0\0",
    "headers_at_every_end": b"\xaa" * 9 + b"\x10\0\0\0\x02\0\0\0" + b"\x10\0\0\0\x02\0\0",
}

# Settings prefixes of fuzz_scan: [max<<4 | min selector, maxtims<<5 | filter].
SCAN_PREFIXES = [b"\xa0\x00\0\0", b"\xa1\x20\0\0", b"\x03\x02\0\0", b"\xa2\x40\0\0"]

# TIMs for looseflags and strict, scanned with looseflags (bit 3 of the
# second byte), both keys (bits 3 and 4) and strict alone (bit 4).
KEYED_TIMS = {
    "loose_t4_no_clut": tim(0x00, w=8, h=16, pixels=ramp(256)),
    "loose_t8_no_clut_flags_01": tim(0x01, w=3, h=2, pixels=ramp(12)),
    "loose_t15_flags_004353d2": tim(0x004353D2, w=5, h=3, pixels=ramp(30)),
    "strict_t4_image_len_plus_2": tim(0x08, clut=clut16, image_len=270, w=8,
                                      h=16, pixels=ramp(258)),
    "strict_t4_clut_w_256": tim(0x08, clut=clut16, clut_len=44,
                                clut_wh=(256, 1), w=8, h=16, pixels=ramp(256)),
}
KEYED_PREFIXES = [b"\xa0\x08\0\0", b"\xa0\x18\0\0", b"\xa0\x10\0\0"]

CONFIGS = {
    "typical": b'infile="game.bin" outname="out/x" writetim="1" writebmp="1"\n',
    "tree": b'inpath="discs" searchtype="*.bin" outname="x" numbyoffset="1"',
    "tree_bad_type": b'inpath="d/" searchtype="bin" infile="ignored"',
    "tails_and_first_wins": b'myinfile="a b" infile="second" xoutname="o"',
    "numbers": b'maxtims=" \t-12x" mintimsize="+0" maxtimsize="4294967297" '
               b'typefilter="-2147483649"',
    "flags": b'writetim="0yes" writebmp="" numbyoffset="no"',
    "unterminated": b'outname="runs to the end',
    "long_value": b'outname="' + b"p" * 1100 + b'" infile="' + b"f" * 1023 + b'"',
    "stops_at_1a": b'infile="a"\x1a outname="hidden"',
    "stops_at_nul": b'infile="a"\0 outname="hidden"',
    "crlf": b'infile="in\r\nput" \r\n outname="x"\r\n',
}

# fuzz_disc records: kind (0 Form 1, 1 Mode 1, 2 Form 2, 3 no sync; +8 puts
# the bytes at the end of the data area), fill, count, bytes.
def rec(kind, data=b"", fill=0xAA):
    return bytes([kind, fill, len(data)]) + data


DISCS = {
    "straddle_header": rec(0) + rec(8, T15[:10]) + rec(0, T15[10:]) + rec(1),
    "across_skipped": rec(0) + rec(9, T4[:200]) + rec(2, T8[:255]) + rec(3, T4[:255])
                      + rec(0x16) + rec(1, T4[200:]) + rec(0, T24),
    "at_stream_end": rec(1, T24) + rec(0) + rec(0) + rec(8, T15) + b"\0" * 40,
    "no_data_sectors": rec(2, T15) + rec(2) + rec(0x14) + rec(2),
}
DISC_PREFIXES = [b"\x01\x00\x01", b"\xa1\x20\x01", b"\x0c\x00\x01",
                 b"\x33\x00\x01"]


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    for name, data in CONFIGS.items():
        write("fuzz_config", name, data)
    for name, data in TIMS.items():
        write("fuzz_tim", name, b"\x55" * 5 + data + b"\x10" * 3)
    for i, (name, data) in enumerate(TIMS.items()):
        prefix = SCAN_PREFIXES[i % len(SCAN_PREFIXES)]
        write("fuzz_scan", name, prefix + b"\x10\0\0" + data + b"\xaa" * 20)
    for i, (name, data) in enumerate(DISCS.items()):
        write("fuzz_disc", name, DISC_PREFIXES[i % len(DISC_PREFIXES)] + data)
    sync = b"\0" + b"\xff" * 10 + b"\0"
    write("fuzz_disc", "sync_once", b"\x01\x00\x00" + sync + b"\x02" * 2400)
    for i, (name, data) in enumerate(KEYED_TIMS.items()):
        write("fuzz_tim", name, b"\x55" * 5 + data + b"\x10" * 3)
        prefix = KEYED_PREFIXES[i % len(KEYED_PREFIXES)]
        write("fuzz_scan", name, prefix + b"\x10\0\0" + data + b"\xaa" * 20)


if __name__ == "__main__":
    main()
