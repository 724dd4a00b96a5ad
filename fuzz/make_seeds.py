#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/.

usage: make_seeds.py path/to/crunchet

Seeds are meant to reach deep: valid streams and containers made by the real encoder (with
their headers right, wrong and forged), streams cut short, and valid archives with entries in
every arrangement the checks allow, each with a few replacement records in front. Every seed
stays under 4 KB. The output is deterministic, so re-running it changes nothing.
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LIMIT = 4096


def crunch(crunchet, data):
    """The container that crunchet writes for data."""
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in"), os.path.join(tmp, "out.bip")
        with open(src, "wb") as f:
            f.write(data)
        subprocess.run([crunchet, src, dst], check=True, stdout=subprocess.DEVNULL)
        with open(dst, "rb") as f:
            return f.read()


def contents():
    """Inputs of the kinds that exercise the encoder's matches and the window's wrap."""
    rnd = random.Random(5)
    text = (b"the window is pre-filled so that early runs still match; "
            b"the quick brown fox jumps over the lazy dog. ") * 40
    out = {
        "abc": b"abc",
        "ten_a": b"a" * 10,
        "forty_a": b"a" * 40,
        "spaces": b" " * 20,
        "zeros": bytes(300),
        "ramp": bytes(range(1, 201)),
        "text": text[:3000],
        "random": bytes(rnd.getrandbits(8) for _ in range(1500)),
        "period2": b"ab" * 700,
        "period3": b"xyz" * 500,
        "period17": bytes(range(17)) * 120,
        "two_byte_matches": b"abXabYabZcdQcdR" * 20,
        "runs": b"".join(bytes([b]) * rnd.randrange(1, 40) for b in rnd.choices(b"aAz0\0", k=120)),
        "mixed": bytes(rnd.getrandbits(8) for _ in range(300)) * 4,
    }
    # Long enough to wrap the 4096-byte window while staying under the seed limit once coded.
    for n in (1, 2, 3, 17, 18, 19, 40):
        out["size%d" % n] = text[:n]
    for n in (2, 5, 9, 60):
        out["period%d_run" % n] = (bytes(rnd.getrandbits(8) for _ in range(n)) * (3000 // n + 1))[:3000]
    out["wrap_zeros"] = bytes(3900)
    out["wrap_text"] = (text * 2)[:3800]
    return {k: v[:LIMIT - 1] for k, v in out.items()}


def put(corpus, name, data):
    assert len(data) < LIMIT, (corpus, name, len(data))
    path = os.path.join(HERE, "corpus", corpus)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def decode_and_container_seeds(crunchet):
    for name, data in contents().items():
        bip = crunch(crunchet, data)
        stream = bip[4:]
        put("roundtrip", name, data)
        if len(bip) < LIMIT:
            put("container", name, bip)
        if len(stream) + 2 < LIMIT:
            put("decode", name + "_room", struct.pack("<H", 0xFFFF) + stream)
            put("decode", name + "_exact", struct.pack("<H", len(data) & 0xFFFF) + stream)
            put("decode", name + "_short", struct.pack("<H", len(data) // 3) + stream)
    bip = crunch(crunchet, contents()["text"])
    put("container", "header_short", le32(100) + bip[4:])
    put("container", "header_long", le32(5000) + bip[4:])
    put("container", "header_forged", le32(0xFFFFFFFF) + bip[4:])
    put("container", "cut", bip[: len(bip) // 2])
    for n in range(4):
        put("container", "tiny%d" % n, b"\x03\x00\x00"[:n])
    put("container", "header_only", le32(3))
    hand = {
        "literals": b"\x07abc",
        "overlap": b"\x01a\xee\xf6",
        "prefilled": b"\x00\x00\x00",
        "unwritten_tail": b"\x00\xf0\xff",
        "flag_only": b"\x00",
        "lone_b0": b"\x01a\xee",
        "wrap_reference": b"\x00" + b"\xf8\xff" * 8,
        # a group of eight references with seven stream bytes after it
        "references_then_seven": b"\x00" + b"\xee\xff" * 8 + b"\x00" * 7,
    }
    for name, stream in hand.items():
        put("decode", name, struct.pack("<H", 512) + stream)
        put("container", name, le32(10) + stream)


def round_up(n):
    return (n + 2047) // 2048 * 2048


def archive(entries, place="first", size=None, names_at=None, room=0):
    """An archive with entries as (name, pos, data), or (name, 0, len) for one without data.

    Unless given, the size is just enough for the rebuild to fit in four times the input,
    with `room` bytes more for replacements."""
    n = len(entries)
    end = 8 + 8 * n + 8
    for _, pos, data in entries:
        if pos and data is not None:
            end = max(end, pos + len(data))
    names_at = names_at if names_at is not None else (end + 15) // 16 * 16
    need = round_up(8 * n + 16) + room
    for _, pos, data in entries:
        if pos:
            need = round_up(need + len(data))
    size = size or max(names_at + 48 * n, need // 4 + 16)
    out = bytearray(size)
    for _, pos, data in entries:
        if pos and data is not None:
            out[pos:pos + len(data)] = data
    out[0:8] = b"AFS\0" + le32(n)
    for i, (name, pos, data) in enumerate(entries):
        length = len(data) if isinstance(data, (bytes, bytearray)) else data
        out[8 + 8 * i:16 + 8 * i] = le32(pos) + le32(length)
        rec = names_at + 48 * i
        out[rec:rec + 32] = name.ljust(32, b"\0")[:32]
        out[rec + 32:rec + 44] = bytes((i * 7 + k) & 0xFF for k in range(12))
        out[rec + 44:rec + 48] = le32(length)
    locator = le32(names_at) + le32(48 * n)
    if place == "first":
        out[8 + 8 * n:16 + 8 * n] = locator
    else:
        first = entries[0][1]
        out[first - 8:first] = locator
    return bytes(out)


def replacements(*pairs):
    """The replacement records in front of an archive: (entry index, size) pairs."""
    assert len(pairs) <= 7
    out = bytearray([len(pairs)])
    for index, size in pairs:
        out += bytes([index]) + struct.pack("<H", size)
    return bytes(out)


def afs_seeds():
    rnd = random.Random(4)

    def blob(n):
        return bytes(rnd.getrandbits(8) for _ in range(n))

    three = [(b"a.bin", 64, blob(100)), (b"b.bin", 0, 77), (b"c.bin", 200, blob(300))]
    seeds = {
        "three_first": archive(three),
        "three_second": archive(three, place="second"),
        "out_of_order": archive([(b"x", 600, blob(50)), (b"y", 100, blob(200)), (b"z", 400, blob(30))]),
        "gaps": archive([(b"g1", 40, blob(10)), (b"g2", 900, blob(10))]),
        "empty_entries": archive([(b"e0", 40, b""), (b"e1", 40, b""), (b"e2", 48, blob(5))]),
        "first_without_data": archive([(b"none", 0, 12), (b"some", 64, blob(40))]),
        "all_without_data": archive([(b"n1", 0, 3), (b"n2", 0, 0)]),
        "no_entries": archive([], names_at=16, size=32)[:16] + le32(2048) + le32(0) + bytes(8),
        "name_32_bytes": archive([(b"N" * 32, 64, blob(20)), (b"short", 100, blob(20))]),
        "unsafe_names": archive([(b"../x", 64, blob(8)), (b"..", 80, blob(8)), (b"/etc/x", 96, blob(8))]),
        "duplicate_names": archive([(b"same", 64, blob(30)), (b"same", 120, blob(30))]),
        "data_over_names": archive([(b"o1", 64, blob(200)), (b"o2", 300, blob(10))], names_at=100),
        "data_over_table": archive([(b"t1", 8, blob(40)), (b"t2", 200, blob(40))]),
        "second_after_table": archive([(b"s1", 48, blob(40)), (b"s2", 200, blob(40))], place="second"),
        "many_small": archive([(b"m%02d" % i, 0 if i % 8 else 400 + 13 * i, 4 if i % 8 else blob(13)) for i in range(40)]),
        "ends_at_end": archive([(b"last", 636, blob(64))], names_at=64, size=700),
    }
    for name, data in seeds.items():
        put("afs", name, replacements() + data)
    put("afs", "three_replaced_larger", replacements((2, 3000)) + archive(three, room=4096))
    put("afs", "three_replaced_smaller", replacements((0, 1), (2, 7)) + seeds["three_second"])
    put("afs", "replaced_without_data", replacements((1, 500), (5, 9)) + seeds["three_first"])
    put("afs", "replaced_empty", replacements((0, 0)) + seeds["out_of_order"])
    put("afs", "replaced_many", replacements(*[(i, 100 + i) for i in range(0, 40, 6)]) + seeds["many_small"])
    put("afs", "over_capacity", replacements((0, 4000)) + archive([(b"big", 40, blob(10))]))
    # 2048 + 352 is exactly four times 600: one byte too many for the capacity check.
    edge = archive([(b"edge", 40, blob(10))], size=600)
    put("afs", "capacity_edge_over", replacements((0, 352)) + edge)
    put("afs", "capacity_edge_fits", replacements((0, 351)) + edge)
    put("afs", "not_afs", replacements() + b"AFS\x01" + bytes(60))
    put("afs", "table_past_end", replacements() + b"AFS\0" + le32(0xFFFFFFFF) + bytes(64))
    put("afs", "entry_wraps", replacements() + seeds["three_first"][:8] + le32(0xFFFFFF00) + le32(0x200) + seeds["three_first"][16:])
    put("afs", "locator_past_end", replacements() + seeds["gaps"][:24] + le32(0x7FFFFFF0) + le32(96) + seeds["gaps"][32:])


def tables(data):
    """The tables of an archive as an unpack records them: header and entry table, the
    locator, the name table."""
    n = struct.unpack_from("<I", data, 4)[0]
    head = 8 + 8 * n
    locator = data[head:head + 8]
    if locator == bytes(8):
        first = struct.unpack_from("<I", data, 8)[0]
        locator = data[first - 8:first]
    names_at = struct.unpack_from("<I", locator, 0)[0]
    return data[:head] + locator + data[names_at:names_at + 48 * n]


def record_text(kinds):
    """A record's entries file, one line per kind, sizes and digests made up."""
    lines = ["bipafs record 1", "archive-size 4096"]
    for i, kind in enumerate(kinds):
        lines.append("%s %d %016x" % (kind, i * 10, i * 0x1111) if kind in ("file", "restored") else kind)
    return ("\n".join(lines) + "\n").encode()


def record_seeds():
    """Bits saying which entries are containers, the tables, and a record's text."""
    def entries(*names):
        return [(b"gone%d" % i, 0, 8) if name is None else (name, 64 + 16 * i, b"x" * 8)
                for i, name in enumerate(names)]

    every = struct.pack("<Q", (1 << 64) - 1)
    none = bytes(8)
    seeds = {
        "plain": (none, entries(b"a.txt", b"dir/b.txt", b"dir/sub/c"), ["file", "file", "file"]),
        "restored": (every, entries(b"a.txt.bip", b"b.bin", b"d/s.bip"), ["restored", "file", "restored"]),
        "not_containers": (none, entries(b"a.bip", b"b.bip"), ["file", "file"]),
        "restored_taken": (every, entries(b"a", b"a.bip", b"a.bip"), ["file", "file", "kept"]),
        "taken_by_dir": (none, entries(b"d/x", b"d", b"d/x/y"), ["file", "kept", "kept"]),
        "dots": (every, entries(b"a//b", b"./c", b"d/./e.bip", b"x/.bip", b".bip"), ["file"] * 5),
        "record_dir": (none, entries(b".bipafs/x"), ["file"]),
        "record_dir_case": (every, entries(b".BIPAFS.bip"), ["restored"]),
        "unsafe": (none, entries(b"ok", b"../up", b"/abs"), ["file", "file", "file"]),
        "without_data": (none, entries(None, b"y", None), ["none", "file", "none"]),
        "long_name": (every, entries(b"N" * 28 + b".bip", b"M" * 32), ["restored", "file"]),
    }
    for name, (bits, listed, kinds) in seeds.items():
        put("record", name, bits + tables(archive(listed)) + record_text(kinds))
    three = tables(archive(entries(b"a", b"b.bip", b"c")))
    damaged = {
        "wrong_count": record_text(["file", "file"]),
        "no_header": record_text(["file"] * 3)[16:],
        "no_newline": record_text(["file"] * 3)[:-1],
        "short_digest": b"bipafs record 1\narchive-size 1\nfile 1 abc\nnone\nnone\n",
        "huge_size": b"bipafs record 1\narchive-size 99999999999999999999\nnone\nnone\nnone\n",
        "double_space": b"bipafs record 1\narchive-size 1\nfile  1 0000000000000000\nnone\nnone\n",
        "leading_zeros": b"bipafs record 1\narchive-size 007\nfile 01 00000000000000ff\nkept\nnone\n",
    }
    for name, text in damaged.items():
        put("record", name, every + three + text)
    put("record", "tables_cut", none + three[:40])


def shaped_seeds():
    """Tagged seeds for the equivalence target: descriptions of sorted data (see
    fuzz/equivalence.cpp) in which search trees degenerate and switch form."""
    tag = b"\xa7"
    # piece kinds: 0 rising counters, 1 falling counters, 2 ids beside a constant, 3 runs
    put("equivalence", "shaped_rising", tag + bytes([0, 15, 0]))
    put("equivalence", "shaped_falling", tag + bytes([1, 15, 3]))
    put("equivalence", "shaped_ids", tag + bytes([2, 15, 2]))
    put("equivalence", "shaped_rise_runs_rise", tag + bytes([0, 12, 1, 3, 12, 5, 0, 12, 9]))
    put("equivalence", "shaped_in_turn", tag + bytes([0, 6, 0, 3, 6, 1, 1, 6, 2, 2, 6, 3, 0, 6, 4]))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py path/to/crunchet")
    decode_and_container_seeds(sys.argv[1])
    shaped_seeds()
    afs_seeds()
    record_seeds()


if __name__ == "__main__":
    main()
