#!/usr/bin/env python3
"""Writes new, valid PST files grown from a sample Unicode one, for tests and benchmarks.

usage: pst_generate.py [--input PST] [--extra-messages N] [--size BYTES] [--layout L] -o OUTPUT

--extra-messages N  adds N node-tree entries of type normal message under fresh node IDs that
                    share the sample's message blocks (the same data and subnode blocks, the
                    same parent folder as the message they copy, taken in turn), and raises
                    those blocks' reference counts. Thousands of entries give a node tree of
                    three or more levels.
--size BYTES        adds copies of every message, each with its own copies of the message's
                    blocks under fresh block IDs, until the file is at least BYTES long.
--layout L          unicode (the default), ansi or 4k. ansi and 4k write the grown Unicode file
                    (or the sample as it is, given neither option above) anew in the ANSI
                    layout (32-bit IDs and offsets, under 2 GiB) or the 4 KiB-page layout of
                    offline stores (deflated blocks among stored ones): pst_layout.py.

The sample's bytes stay where they are. Both B-trees are written anew, packed full, in
intervals appended after the sample's last one; each new interval starts with its allocation
map (and a page map or free map where the layout places one), the old tree pages are marked
free, and the header gets the new roots, counters, file length, free-space total and CRCs.
The output is written under a temporary name and renamed when complete.
"""

import argparse
import mmap
import os
import struct
import sys

import pst_layout as layout
import pst_model as model

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_INPUT = os.path.join(HERE, "..", "data", "enron.pst")

CRYPT_CYCLIC = 2
LAY = layout.UNICODE
GenerateError = layout.GenerateError


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
        writer.put(ib + model.block_size(len(data)) - model.BLOCK_TRAILER,
                   LAY.block_trailer_bytes(data, ib, bid, len(data)))
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

    def write(self, path, extra, size, progress):
        self.add_shared_messages(extra)
        first_new = (len(self.data) - model.HEADER_BYTES) // model.INTERVAL
        with open(path, "wb") as out:
            out.write(self.data)
            writer = layout.IntervalWriter(out, first_new, progress)
            copies = self.add_copies_until(writer, size) if size > len(self.data) else 0
            bbt = [(bid, struct.pack("<QQHHI", bid, ib, cb, refs, 0))
                   for bid, (ib, cb, refs) in sorted(self.blocks.items())]
            nbt = [(nid, struct.pack("<QQQII", nid, n.bid_data, n.bid_sub, n.parent, 0))
                   for nid, n in sorted(self.nodes.items())]
            bbt_root = layout.write_tree(writer, LAY, self.page_bid, bbt, LAY.bbt_leaf, model.PTYPE_BBT)
            nbt_root = layout.write_tree(writer, LAY, self.page_bid, nbt, LAY.nbt_leaf, model.PTYPE_NBT)
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
            bits = amaps.setdefault(start, bytearray(self.data[start:start + LAY.map_bytes]))
            for unit in range((p.ib - start) // 64, (p.ib - start + model.PAGE) // 64):
                bits[unit >> 3] &= ~(0x80 >> (unit & 7)) & 0xFF
        free = 0
        for start in range(model.HEADER_BYTES, len(self.data), model.INTERVAL):
            bits = amaps.get(start, self.data[start:start + LAY.map_bytes])
            free += 64 * sum(8 - bin(b).count("1") for b in bits)
            if start in amaps:
                out.seek(start)
                out.write(LAY.page_bytes(bits, model.PTYPE_AMAP, start, start))
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
    ap.add_argument("--layout", choices=sorted(layout.LAYOUTS), default="unicode",
                    help="the layout of the output (default: unicode)")
    ap.add_argument("-o", "--output", required=True)
    args = ap.parse_args(argv[1:])
    lay = layout.LAYOUTS[args.layout]
    grow = args.extra_messages or args.size
    if args.extra_messages < 0 or args.size < 0:
        ap.error("counts and sizes must not be negative")
    if not grow and lay is LAY:
        ap.error("give --extra-messages, --size or both")
    if args.size >= lay.max_file:
        ap.error("the %s layout takes files of less than %d bytes" % (args.layout, lay.max_file))
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

    # Another layout is written from the grown Unicode file, which is staged beside the output.
    part = args.output + ".part"
    staged = args.output + ".unicode.part" if grow and lay is not LAY else None
    summary = relaid = None
    try:
        if grow:
            summary = gen.write(staged or part, args.extra_messages, args.size, progress)
        if lay is not LAY:
            relaid = relay(staged or args.input, lay, part, progress)
        os.replace(part, args.output)
    except (OSError, GenerateError, model.PstError) as e:
        if os.path.exists(part):
            os.remove(part)
        print("%spst_generate.py: cannot write %s: %s" % ("\n" if tty else "", args.output,
              e.strerror if isinstance(e, OSError) else e), file=sys.stderr)
        return 1
    finally:
        if staged and os.path.exists(staged):
            os.remove(staged)
    if tty and args.size:
        print(file=sys.stderr)
    if summary:
        print("%s: %d messages (%d copies of the sample's, %d extra entries), node tree %d levels with %d nodes, "
              "block tree %d levels with %d blocks (%d new), %d bytes"
              % (args.output, summary["messages"], summary["copies"], args.extra_messages, summary["node_levels"],
                 summary["nodes"], summary["block_levels"], summary["blocks"], summary["new_blocks"],
                 summary["bytes"]))
    if relaid:
        print("%s: in the %s layout: %d messages, node tree %d levels with %d nodes, block tree %d levels with "
              "%d blocks (%d deflated), %d bytes"
              % (args.output, args.layout, relaid["messages"], relaid["node_levels"], relaid["nodes"],
                 relaid["block_levels"], relaid["blocks"], relaid["deflated"], relaid["bytes"]))
    return 0


def relay(unicode_path, lay, path, progress):
    """Writes the Unicode PST at unicode_path anew in layout lay at path."""
    with open(unicode_path, "rb") as f:
        # Mapped rather than read: the grown file may be gigabytes.
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            with open(path, "wb") as out:
                return layout.Relayer(data, lay).write(out, progress)
        finally:
            data.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
