"""Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/): a few hand-made inputs
that reach every branch quickly. Run it again after changing an input layout."""

import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def ring_pop():
    def seed(mode, data_size, header=b"", fill=0, ops=b"", start=0):
        header = header.ljust(24, b"\0")[:24]
        # Model mode (mode % 4 == 0) reads a 16-bit starting counter before the operations.
        counter = struct.pack("<H", start) if mode % 4 == 0 else b""
        return bytes([mode]) + struct.pack("<H", data_size - 1) + header + bytes([fill]) + counter + ops

    push = lambda n, byte=0x41: bytes([1, n]) + bytes([byte]) * n  # noqa: E731
    pop, views, push_largest = b"\x00", b"\x03", b"\x02\x00"
    return {
        # A creator's 64-byte ring: pushes and pops that wrap, a full ring, the views.
        "model_small": seed(0, 64, ops=push(10) + push(0) + pop + push(40) + views + pop + pop + push(60) + views + pop),
        "model_largest": seed(0, 16, ops=push_largest + views + pop + push_largest + pop),
        # Counters just below the 64-bit wrap (mode bit 4).
        "model_wrap": seed(4, 32, start=5, ops=push(12) + pop + push(20) + pop + views),
        # A plausible header with a length prefix that runs past tail.
        "corrupt_length": seed(3, 64, struct.pack("<QQQ", 0, 8, 64), 0xFF, pop + views),
        # A capacity larger than the mapping, and one that is not a power of two.
        "capacity_too_large": seed(3, 64, struct.pack("<QQQ", 0, 8, 1 << 20), 0, pop + push(4) + views),
        "capacity_not_pow2": seed(3, 64, struct.pack("<QQQ", 0, 8, 48), 0, pop + push(4) + views),
        # head past tail, tail - head near 2^64.
        "head_past_tail": seed(3, 64, struct.pack("<QQQ", 100, 8, 64), 0, pop + push(4) + views),
        "init_paths": seed(2 | 4, 40, ops=views + pop),
    }


def codec():
    def seed(entries, single, data):
        out = bytes([len(entries)])
        for tag, count in entries:
            out += bytes([tag, count])
        return out + bytes([single]) + data

    # Tag selectors index u8 bool i32 u32 f32 i64 int u64 f64 float str.
    i64, f64, boolean, string, u8, i32 = 5, 8, 1, 10, 0, 2
    mixed = struct.pack("<qd", 1, 2.5) + b"\x01" + struct.pack("<I", 2) + b"hi"
    return {
        "mixed_23": seed([(i64, 1), (f64, 1), (boolean, 1), (string, 1)], i64, mixed),
        "two_i64": seed([(i64, 2)], f64, struct.pack("<qq", 7, -7)),
        "str_short": seed([(string, 1)], string, b"\x05\x00\x00\x00abc"),
        "str_bad_utf8": seed([(string, 1)], string, b"\x02\x00\x00\x00\xff\xfe"),
        "huge_count": seed([(u8, 0xFE)], u8, b"12345678"),
        "i32_short": seed([(i32, 2)], i32, b"\0" * 6),
        "unknown_tag": bytes([1, 0xE5]) + b"bogus" + bytes([0, 0xE3]) + b"INT" + b"\0" * 8,
    }


def names():
    return {
        "ok": b"/a",
        "empty": b"",
        "slash": b"/",
        "no_slash": b"seg",
        "nul": b"/a\0b",
        "inner_slash": b"/a/b",
        "errno_enoent": struct.pack("<i", 2) + b"/x",
        "errno_big": struct.pack("<i", 134),
    }


def main():
    for target, seeds in {"ring_pop": ring_pop(), "codec": codec(), "names": names()}.items():
        folder = ROOT / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
