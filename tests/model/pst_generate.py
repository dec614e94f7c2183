#!/usr/bin/env python3
"""Writes new, valid Unicode PST files grown from a sample one, for tests and benchmarks.

usage: pst_generate.py [--input PST] [--extra-messages N] [--size BYTES] -o OUTPUT

--extra-messages N  adds N node-tree entries of type normal message under fresh node IDs that
                    share the sample's message blocks (the same data and subnode blocks, the
                    same parent folder as the message they copy, taken in turn), and raises
                    those blocks' reference counts. Thousands of entries give a node tree of
                    three or more levels.
--size BYTES        adds copies of every message, each with its own copies of the message's
                    blocks under fresh block IDs, until the file is at least BYTES long.

The sample's bytes stay where they are. Both B-trees are written anew, packed full, in
intervals appended after the sample's last one; each new interval starts with its allocation
map (and a page map or free map where the layout places one), the old tree pages are marked
free, and the header gets the new roots, counters, file length, free-space total and CRCs.
The output is written under a temporary name and renamed when complete.
"""

import argparse
import os
import struct
import sys

import pst_model as model

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_INPUT = os.path.join(HERE, "..", "data", "enron.pst")

AMAP_BYTES = 496
NBT_LEAF = (32, 15)            # (bytes per entry, entries per page)
BBT_LEAF = (24, 20)
BRANCH = (24, 20)
PMAP_EVERY = 8                 # intervals per page map
FMAP_FIRST, FMAP_EVERY = 128, 496  # the header's free map covers the first 128 intervals
MAX_INTERVALS = 8192           # from here on a free-page map would be due, which this writer omits
CRYPT_CYCLIC = 2


class GenerateError(Exception):
    pass


def page_bytes(body, ptype, ib, bid):
    """A 512-byte page: body (at most 496 bytes, zero padded) and its trailer."""
    page = bytearray(model.PAGE)
    page[:len(body)] = body
    sig = model.signature(ib, bid) if ptype in (model.PTYPE_NBT, model.PTYPE_BBT) else 0
    struct.pack_into("<BBHIQ", page, 496, ptype, ptype, sig, model.crc(page[:496]), bid)
    return page


def block_trailer(data, ib, bid):
    return struct.pack("<HHIQ", len(data), model.signature(ib, bid), model.crc(data), bid)


class IntervalWriter:
    """Appends whole intervals to the output, each starting with its allocation map page, and
    hands out space in them: 512-byte pages or 64-byte-aligned blocks, never across an interval."""

    def __init__(self, out, first_index, progress):
        self.out = out
        self.index = first_index - 1
        self.free_bytes = 0
        self.last_amap = None
        self.progress = progress
        self._open_next()

    def _open_next(self):
        self.index += 1
        if self.index >= MAX_INTERVALS:
            raise GenerateError("the file would pass %d intervals (about 2 GB); this writer stops there"
                                % MAX_INTERVALS)
        self.start = model.HEADER_BYTES + self.index * model.INTERVAL
        self.buf = bytearray(model.INTERVAL)
        self.amap = bytearray(AMAP_BYTES)
        self.used = 0
        self.maps = [model.PTYPE_AMAP]
        if self.index % PMAP_EVERY == 0:
            self.maps.append(model.PTYPE_PMAP)
        if self.index >= FMAP_FIRST and (self.index - FMAP_FIRST) % FMAP_EVERY == 0:
            self.maps.append(model.PTYPE_FMAP)
        self._take(model.PAGE * len(self.maps))

    def _take(self, size):
        at = self.used
        for unit in range(at // 64, (at + size) // 64):
            self.amap[unit >> 3] |= 0x80 >> (unit & 7)
        self.used = at + size
        return at

    def alloc(self, size, align):
        at = (self.used + align - 1) // align * align
        if at + size > model.INTERVAL:
            self._close()
            self._open_next()
            at = (self.used + align - 1) // align * align
        self.used = at
        return self.start + self._take(size)

    def put(self, ib, data):
        at = ib - self.start
        self.buf[at:at + len(data)] = data

    def _close(self):
        for i, ptype in enumerate(self.maps):
            ib = self.start + i * model.PAGE
            # Page and free maps are deprecated and kept only for older readers; they are
            # all 0xFF, as the sample's page maps and its header's initial free map are.
            body = self.amap if ptype == model.PTYPE_AMAP else b"\xff" * AMAP_BYTES
            self.buf[i * model.PAGE:(i + 1) * model.PAGE] = page_bytes(body, ptype, ib, ib)
        self.free_bytes += 64 * sum(8 - bin(b).count("1") for b in self.amap)
        self.last_amap = self.start
        self.out.write(self.buf)
        self.progress(self.start + model.INTERVAL)

    def finish(self):
        self._close()
        return self.start + model.INTERVAL


class Generator:
    def __init__(self, sample):
        self.data = sample
        self.pst = model.Pst(sample)
        h = self.pst.header
        if len(sample) != h.file_eof or (h.file_eof - model.HEADER_BYTES) % model.INTERVAL:
            raise GenerateError("the sample's length %d does not match its header (%d) or the interval grid"
                                % (len(sample), h.file_eof))
        self.next_page_bid = h.bid_next_p
        self.next_block_bid = h.bid_next_b
        self.next_message = h.rgnid[model.NID_TYPE_NORMAL_MESSAGE]
        self.nodes = dict(self.pst.nodes)
        self.blocks = {bid: [b.ib, b.cb, b.refs] for bid, b in self.pst.blocks.items()}
        self.messages = sorted(n for n in self.pst.nodes.values() if n.nid & 0x1F == model.NID_TYPE_NORMAL_MESSAGE)
        self.copied_blocks = 0

    # Block and node IDs.
    def page_bid(self):
        bid = self.next_page_bid
        self.next_page_bid += 2      # the sample's pages take every second ID
        return bid

    def block_bid(self, internal):
        bid = self.next_block_bid | (model.BID_INTERNAL if internal else 0)
        self.next_block_bid += 4
        return bid

    def message_nid(self):
        self.next_message += 1
        if self.next_message >= 1 << 27:
            raise GenerateError("no message node IDs left")
        return self.next_message << 5 | model.NID_TYPE_NORMAL_MESSAGE

    # Extra entries sharing the sample's blocks.
    def add_shared_messages(self, count):
        for i in range(count):
            src = self.messages[i % len(self.messages)]
            nid = self.message_nid()
            self.nodes[nid] = model.Node(nid, src.bid_data, src.bid_sub, src.parent)
            for bid in (src.bid_data, src.bid_sub):
                if bid:
                    ref = self.blocks[bid & ~1]
                    if ref[2] == 0xFFFF:
                        raise GenerateError("block %#x would be shared more than 65535 times" % bid)
                    ref[2] += 1

    # Copies of messages with copies of their blocks.
    def _emit(self, writer, data, internal, refs=2):
        bid = self.block_bid(internal)
        ib = writer.alloc(model.block_size(len(data)), 64)
        writer.put(ib, data)
        writer.put(ib + model.block_size(len(data)) - model.BLOCK_TRAILER, block_trailer(data, ib, bid))
        self.blocks[bid] = [ib, len(data), refs]
        self.copied_blocks += 1
        return bid

    def _copy_data_tree(self, writer, bid):
        _ib, data = self.pst.block(bid)
        if not bid & model.BID_INTERNAL:
            # NONE and PERMUTE encodings do not depend on the block ID: the bytes move as they are.
            return self._emit(writer, data, False)
        c_ent = struct.unpack_from("<H", data, 2)[0]
        children = [self._copy_data_tree(writer, c) for c in struct.unpack_from("<%dQ" % c_ent, data, 8)]
        return self._emit(writer, data[:8] + struct.pack("<%dQ" % c_ent, *children) + data[8 + 8 * c_ent:], True)

    def _copy_subnode_tree(self, writer, bid):
        _ib, data = self.pst.block(bid)
        level, c_ent = data[1], struct.unpack_from("<H", data, 2)[0]
        out = bytearray(data)
        for i in range(c_ent):
            if level == 0:
                at = 8 + 24 * i
                nid, sub_data, sub_sub = struct.unpack_from("<QQQ", data, at)
                new_sub = self._copy_subnode_tree(writer, sub_sub) if sub_sub else 0
                struct.pack_into("<QQQ", out, at, nid, self._copy_data_tree(writer, sub_data), new_sub)
            else:
                at = 8 + 16 * i
                nid, child = struct.unpack_from("<QQ", data, at)
                struct.pack_into("<QQ", out, at, nid, self._copy_subnode_tree(writer, child))
        return self._emit(writer, bytes(out), True)

    def add_copies_until(self, writer, size):
        if self.pst.header.crypt == CRYPT_CYCLIC:
            raise GenerateError("the sample uses the cyclic encoding, whose blocks would need re-encoding "
                                "for their new IDs; this writer copies only unencoded or permuted blocks")
        copies = 0
        while writer.start + writer.used < size:
            for src in self.messages:
                nid = self.message_nid()
                bid_data = self._copy_data_tree(writer, src.bid_data)
                bid_sub = self._copy_subnode_tree(writer, src.bid_sub) if src.bid_sub else 0
                self.nodes[nid] = model.Node(nid, bid_data, bid_sub, src.parent)
            copies += 1
        return copies

    # The trees.
    def write_tree(self, writer, entries, leaf, ptype):
        """Writes a B-tree of (key, entry bytes) pairs sorted by key, leaves packed full;
        returns (root bid, root ib, levels)."""
        level_items = entries
        level = 0
        while True:
            width, per_page = leaf if level == 0 else BRANCH
            parents = []
            for i in range(0, len(level_items), per_page):
                chunk = level_items[i:i + per_page]
                body = bytearray(b"".join(e for _k, e in chunk).ljust(488, b"\0"))
                body += struct.pack("<BBBB4x", len(chunk), per_page, width, level)
                bid = self.page_bid()
                ib = writer.alloc(model.PAGE, model.PAGE)
                writer.put(ib, page_bytes(body, ptype, ib, bid))
                parents.append((chunk[0][0], struct.pack("<QQQ", chunk[0][0], bid, ib), bid, ib))
            if len(parents) == 1:
                return parents[0][2], parents[0][3], level + 1
            level_items = [(k, e) for k, e, _b, _i in parents]
            level += 1

    def write(self, path, extra, size, progress):
        self.add_shared_messages(extra)
        first_new = (len(self.data) - model.HEADER_BYTES) // model.INTERVAL
        with open(path, "wb") as out:
            out.write(self.data)
            writer = IntervalWriter(out, first_new, progress)
            copies = self.add_copies_until(writer, size) if size > len(self.data) else 0
            bbt = [(bid, struct.pack("<QQHHI", bid, ib, cb, refs, 0))
                   for bid, (ib, cb, refs) in sorted(self.blocks.items())]
            nbt = [(nid, struct.pack("<QQQII", nid, n.bid_data, n.bid_sub, n.parent, 0))
                   for nid, n in sorted(self.nodes.items())]
            bbt_root = self.write_tree(writer, bbt, BBT_LEAF, model.PTYPE_BBT)
            nbt_root = self.write_tree(writer, nbt, NBT_LEAF, model.PTYPE_NBT)
            eof = writer.finish()
            free = writer.free_bytes + self._free_old_pages(out)
            out.seek(0)
            out.write(self._header(eof, writer.last_amap, free, nbt_root, bbt_root))
        return {"messages": sum(1 for n in self.nodes if n & 0x1F == model.NID_TYPE_NORMAL_MESSAGE),
                "copies": copies, "node_levels": nbt_root[2], "nodes": len(self.nodes),
                "block_levels": bbt_root[2], "blocks": len(self.blocks), "new_blocks": self.copied_blocks,
                "bytes": eof}

    def _free_old_pages(self, out):
        """Clears the old tree pages' bits in the sample's allocation maps, rewrites those maps
        and returns the free bytes of all the sample's maps."""
        amaps = {}
        for p in self.pst.pages:
            index = (p.ib - model.HEADER_BYTES) // model.INTERVAL
            start = model.HEADER_BYTES + index * model.INTERVAL
            bits = amaps.setdefault(start, bytearray(self.data[start:start + AMAP_BYTES]))
            for unit in range((p.ib - start) // 64, (p.ib - start + model.PAGE) // 64):
                bits[unit >> 3] &= ~(0x80 >> (unit & 7)) & 0xFF
        free = 0
        for start in range(model.HEADER_BYTES, len(self.data), model.INTERVAL):
            bits = amaps.get(start, self.data[start:start + AMAP_BYTES])
            free += 64 * sum(8 - bin(b).count("1") for b in bits)
            if start in amaps:
                out.seek(start)
                out.write(page_bytes(bits, model.PTYPE_AMAP, start, start))
        return free

    def _header(self, eof, last_amap, free, nbt_root, bbt_root):
        h = bytearray(self.data[:model.HEADER_BYTES])
        struct.pack_into("<Q", h, model.OFF_BID_NEXT_P, self.next_page_bid)
        struct.pack_into("<I", h, model.OFF_UNIQUE, (self.pst.header.unique + 1) & 0xFFFFFFFF)
        struct.pack_into("<I", h, model.OFF_RGNID + 4 * model.NID_TYPE_NORMAL_MESSAGE, self.next_message)
        r = model.OFF_ROOT
        struct.pack_into("<QQQ", h, r + model.ROOT_FILE_EOF, eof, last_amap, free)
        struct.pack_into("<QQQQ", h, r + model.ROOT_NBT, nbt_root[0], nbt_root[1], bbt_root[0], bbt_root[1])
        struct.pack_into("<Q", h, model.OFF_BID_NEXT_B, self.next_block_bid)
        struct.pack_into("<I", h, model.OFF_CRC_PARTIAL, model.crc(h[8:8 + 471]))
        struct.pack_into("<I", h, model.OFF_CRC_FULL, model.crc(h[8:8 + 516]))
        return h


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().removesuffix("IB").removesuffix("B")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def main(argv):
    ap = argparse.ArgumentParser(description="Writes a larger valid PST file grown from a sample.")
    ap.add_argument("--input", default=DEFAULT_INPUT, help="the sample PST (default: tests/data/enron.pst)")
    ap.add_argument("--extra-messages", type=int, default=0, metavar="N")
    ap.add_argument("--size", type=parse_size, default=0, metavar="BYTES", help="e.g. 1G, 300M or 1073741824")
    ap.add_argument("-o", "--output", required=True)
    args = ap.parse_args(argv[1:])
    if args.extra_messages < 0 or args.size < 0:
        ap.error("counts and sizes must not be negative")
    if not args.extra_messages and not args.size:
        ap.error("give --extra-messages, --size or both")
    try:
        if os.path.exists(args.output) and os.path.samefile(args.input, args.output):
            raise GenerateError("the output %s is the input" % args.output)
        with open(args.input, "rb") as f:
            sample = f.read()
        gen = Generator(sample)
    except OSError as e:
        print("pst_generate.py: cannot read %s: %s" % (e.filename, e.strerror), file=sys.stderr)
        return 1
    except (model.PstError, GenerateError) as e:
        print("pst_generate.py: %s: %s" % (args.input, e), file=sys.stderr)
        return 1

    tty = sys.stderr.isatty()

    def progress(done):
        if tty and args.size:
            print("\r%5.1f%%  %d MB" % (min(100.0, 100.0 * done / args.size), done >> 20), end="", file=sys.stderr)

    part = args.output + ".part"
    try:
        summary = gen.write(part, args.extra_messages, args.size, progress)
        os.replace(part, args.output)
    except (OSError, GenerateError) as e:
        if os.path.exists(part):
            os.remove(part)
        print("%spst_generate.py: cannot write %s: %s" % ("\n" if tty else "", args.output,
              e.strerror if isinstance(e, OSError) else e), file=sys.stderr)
        return 1
    if tty and args.size:
        print(file=sys.stderr)
    print("%s: %d messages (%d copies of the sample's, %d extra entries), node tree %d levels with %d nodes, "
          "block tree %d levels with %d blocks (%d new), %d bytes"
          % (args.output, summary["messages"], summary["copies"], args.extra_messages, summary["node_levels"],
             summary["nodes"], summary["block_levels"], summary["blocks"], summary["new_blocks"], summary["bytes"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
