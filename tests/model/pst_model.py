#!/usr/bin/env python3
"""A small reader of a PST's node and block trees, independent of the C++ engine.

The damage tests use it as their yardstick: which messages a file holds, which blocks each
of them needs, and which of those messages still have every block intact after damage. It
reads only what it needs (header, tree pages, block trailers, data trees and subnode trees),
checks every CRC, signature and ID on the way, and raises PstError on the first fault, so a
count it gives is a count of a sound file. It reads each layout pst_layout.py describes (the
Unicode, the ANSI and the 4 KiB-page one), by the header's wVer.

usage: pst_model.py FILE     prints the number of normal messages, the tree depths and blocks
"""

import mmap
import os
import struct
import sys
import zlib
from collections import namedtuple

PAGE = 512
HEADER_BYTES = 0x4400          # header block; the first allocation map page follows it
INTERVAL = 0x3E000             # bytes mapped by one allocation map page
BLOCK_ALIGN = 64
BLOCK_TRAILER = 16
PAGE_TRAILER = 16

PTYPE_BBT = 0x80
PTYPE_NBT = 0x81
PTYPE_FMAP = 0x82
PTYPE_PMAP = 0x83
PTYPE_AMAP = 0x84

NID_TYPE_NORMAL_FOLDER = 0x02
NID_TYPE_NORMAL_MESSAGE = 0x04

BID_INTERNAL = 0x2             # set in the BID of an XBLOCK, XXBLOCK, SLBLOCK or SIBLOCK
MAX_SUBNODE_DEPTH = 64         # nested attachments; deeper means a loop in a damaged file

# Header field offsets (Unicode layout).
OFF_MAGIC = 0
OFF_CRC_PARTIAL = 4
OFF_VERSION = 10
OFF_BID_NEXT_P = 32
OFF_UNIQUE = 40
OFF_RGNID = 44
OFF_ROOT = 180
OFF_CRYPT = 513
OFF_BID_NEXT_B = 516
OFF_CRC_FULL = 524
# ROOT field offsets, relative to OFF_ROOT.
ROOT_FILE_EOF = 4
ROOT_AMAP_LAST = 12
ROOT_AMAP_FREE = 20
ROOT_PMAP_FREE = 28
ROOT_NBT = 36
ROOT_BBT = 52
ROOT_AMAP_VALID = 68

Header = namedtuple("Header", "version crypt file_eof amap_last amap_free nbt_bid nbt_ib bbt_bid bbt_ib "
                              "bid_next_p bid_next_b unique rgnid amap_valid layout")
TreePage = namedtuple("TreePage", "ib bid level tree")          # tree: "NBT" or "BBT"
Node = namedtuple("Node", "nid bid_data bid_sub parent")
BlockRef = namedtuple("BlockRef", "ib cb refs inflated")   # inflated: cb unless stored deflated
Message = namedtuple("Message", "nid parent blocks")            # blocks: frozenset of (ib, size)


class PstError(Exception):
    pass


def crc(data):
    """The format's CRC-32: the reflected 0xEDB88320 polynomial, initial 0, no final xor."""
    return (~zlib.crc32(data, 0xFFFFFFFF)) & 0xFFFFFFFF


def signature(ib, bid):
    """wSig of a tree page or block: the file offset and the BID folded into 16 bits."""
    x = (ib ^ bid) & 0xFFFFFFFF
    return ((x >> 16) ^ x) & 0xFFFF


def block_size(cb):
    """Bytes a block of cb data bytes occupies on disk: data and trailer, rounded up to 64."""
    return (cb + BLOCK_TRAILER + BLOCK_ALIGN - 1) // BLOCK_ALIGN * BLOCK_ALIGN


def layouts():
    # Imported here: pst_layout builds its geometry on this module's constants.
    import pst_layout
    return pst_layout


def read_header(pst):
    if len(pst) < HEADER_BYTES:
        raise PstError("file too short for a header (%d bytes)" % len(pst))
    if pst[0:4] != b"!BDN" or pst[8:10] not in (b"SM", b"SO"):
        raise PstError("no PST magic at offset 0")
    version = struct.unpack_from("<H", pst, OFF_VERSION)[0]
    lay = layouts().of_version(version)
    if lay is None:
        raise PstError("no layout has wVer %d" % version)
    if struct.unpack_from("<I", pst, OFF_CRC_PARTIAL)[0] != crc(pst[8:8 + 471]):
        raise PstError("header partial CRC mismatch")
    if lay.name != "ansi" and struct.unpack_from("<I", pst, OFF_CRC_FULL)[0] != crc(pst[8:8 + 516]):
        raise PstError("header full CRC mismatch")
    return Header(version=version, layout=lay, **lay.read_root(pst))


def read_page(pst, lay, ib, bid, ptype):
    """The bytes of a tree page, after checking its trailer against what points at it."""
    if (ib - lay.first_map) % lay.page or ib < lay.first_map or ib + lay.page > len(pst):
        raise PstError("page %#x of BID %#x lies outside the file or off the page grid" % (ib, bid))
    page = pst[ib:ib + lay.page]
    t_type, t_repeat, t_sig, t_crc, t_bid = lay.read_page_trailer(page)
    if t_type != ptype or t_repeat != ptype:
        raise PstError("page at %#x has type %#x, expected %#x" % (ib, t_type, ptype))
    if t_bid != bid:
        raise PstError("page at %#x has BID %#x, expected %#x" % (ib, t_bid, bid))
    if t_crc != crc(page[:lay.page - lay.page_trailer_bytes]):
        raise PstError("page at %#x fails its CRC" % ib)
    if t_sig != signature(ib, bid):
        raise PstError("page at %#x has a wrong signature" % ib)
    return page


def _walk(pst, lay, ib, bid, ptype, pages, want_level=None):
    """Leaf entries (raw bytes) of the tree below one page, in key order; pages collects
    every page visited. A child's level must be one less than its parent's."""
    page = read_page(pst, lay, ib, bid, ptype)
    c_ent, c_ent_max, cb_ent, level = lay.read_tree_meta(page)
    expected_cb = (lay.nbt_leaf if ptype == PTYPE_NBT else lay.bbt_leaf)[0] if level == 0 else lay.branch[0]
    if cb_ent != expected_cb or c_ent > c_ent_max or c_ent * cb_ent > lay.entries_bytes:
        raise PstError("page at %#x has a bad entry layout (%d x %d bytes, max %d)" % (ib, c_ent, cb_ent, c_ent_max))
    if want_level is not None and level != want_level:
        raise PstError("page at %#x has level %d, expected %d" % (ib, level, want_level))
    pages.append(TreePage(ib, bid, level, "NBT" if ptype == PTYPE_NBT else "BBT"))
    entries = [page[i * cb_ent:(i + 1) * cb_ent] for i in range(c_ent)]
    if level == 0:
        return entries
    out = []
    for e in entries:
        _key, child_bid, child_ib = lay.read_branch_entry(e)
        out.extend(_walk(pst, lay, child_ib, child_bid, ptype, pages, level - 1))
    return out


class Pst:
    """A parsed file: header, both trees (as dicts) and their pages."""

    def __init__(self, pst):
        self.data = pst
        self.header = read_header(pst)
        self.layout = lay = self.header.layout
        self.pages = []
        h = self.header
        self.nodes = {}
        for e in _walk(pst, lay, h.nbt_ib, h.nbt_bid, PTYPE_NBT, self.pages):
            nid, bid_data, bid_sub, parent = lay.read_nbt_entry(e)
            nid &= 0xFFFFFFFF
            if nid in self.nodes:
                raise PstError("node %#x appears twice in the node tree" % nid)
            self.nodes[nid] = Node(nid, bid_data, bid_sub, parent)
        self.blocks = {}
        for e in _walk(pst, lay, h.bbt_ib, h.bbt_bid, PTYPE_BBT, self.pages):
            bid, ib, cb, inflated, refs = lay.read_bbt_entry(e)
            self.blocks[bid & ~1] = BlockRef(ib, cb, refs, inflated)

    def depth(self, tree):
        return 1 + max(p.level for p in self.pages if p.tree == tree)

    def block_size(self, cb):
        """Bytes a block of cb stored bytes occupies in this file's layout."""
        return self.layout.block_size(cb)

    def units(self):
        """(kind, file offset, size) of every tree page and block, by offset."""
        out = [("page", p.ib, self.layout.page) for p in self.pages]
        out += [("block", b.ib, self.block_size(b.cb)) for b in self.blocks.values()]
        return sorted(out, key=lambda u: u[1])

    def block(self, bid):
        """(ib, data) of a block after checking its trailer: size, BID, signature and CRC.
        The data is as stored: a block of the 4 KiB layout may be deflated."""
        lay = self.layout
        ref = self.blocks.get(bid & ~1)
        if ref is None:
            raise PstError("block %#x is not in the block tree" % bid)
        size = self.block_size(ref.cb)
        if ref.ib < lay.first_map or (ref.ib - lay.first_map) % lay.unit or ref.ib + size > len(self.data):
            raise PstError("block %#x at %#x lies outside the file or off the %d-byte grid" % (bid, ref.ib, lay.unit))
        end = ref.ib + size
        cb, sig, t_crc, t_bid, inflated = lay.read_block_trailer(self.data[end - lay.block_trailer:end])
        data = self.data[ref.ib:ref.ib + ref.cb]
        if cb != ref.cb or t_bid & ~1 != bid & ~1 or inflated != ref.inflated:
            raise PstError("block %#x at %#x has trailer size %d BID %#x" % (bid, ref.ib, cb, t_bid))
        if sig != signature(ref.ib, t_bid) or t_crc != crc(data):
            raise PstError("block %#x at %#x fails its signature or CRC" % (bid, ref.ib))
        return ref.ib, data

    def internal_block(self, bid):
        """(ib, data) of an internal block, inflated where it is stored deflated."""
        ib, data = self.block(bid)
        inflated = self.blocks[bid & ~1].inflated
        if inflated != len(data):
            try:
                data = zlib.decompress(data)
            except zlib.error as e:
                raise PstError("block %#x at %#x does not inflate: %s" % (bid, ib, e)) from None
            if len(data) != inflated:
                raise PstError("block %#x at %#x inflates to %d bytes, not %d" % (bid, ib, len(data), inflated))
        return ib, data

    def data_tree(self, bid, out, level=None):
        """Adds (ib, size) of every block of the data tree rooted at bid to out."""
        ib, data = self.internal_block(bid) if bid & BID_INTERNAL else self.block(bid)
        out.add((ib, self.block_size(self.blocks[bid & ~1].cb)))
        if not bid & BID_INTERNAL:
            return
        btype, c_level, c_ent, _total = struct.unpack_from("<BBHI", data)
        if btype != 0x01 or c_level not in (1, 2) or (level is not None and c_level != level):
            raise PstError("block %#x is not a data-tree block (type %d level %d)" % (bid, btype, c_level))
        if 8 + self.layout.id_bytes * c_ent > len(data):
            raise PstError("block %#x lists more children than it holds" % bid)
        for child in self.layout.read_ids(data, 8, c_ent):
            if c_level == 2:
                self.data_tree(child, out, 1)
            elif child & BID_INTERNAL:
                raise PstError("block %#x: an XBLOCK child is internal" % bid)
            else:
                self.data_tree(child, out)

    def subnode_tree(self, bid, out, depth=0):
        """Adds every block of the subnode tree rooted at bid, with the subnodes' data trees
        and their own subnode trees, to out."""
        if depth > MAX_SUBNODE_DEPTH:
            raise PstError("subnode trees nest deeper than %d at block %#x" % (MAX_SUBNODE_DEPTH, bid))
        ib, data = self.internal_block(bid)
        out.add((ib, self.block_size(self.blocks[bid & ~1].cb)))
        btype, c_level, c_ent = struct.unpack_from("<BBH", data)
        if btype != 0x02 or c_level not in (0, 1):
            raise PstError("block %#x is not a subnode block (type %d level %d)" % (bid, btype, c_level))
        # Unicode entries follow 4 bytes of padding; ANSI ones the count.
        ids = 3 if c_level == 0 else 2
        first = 4 if self.layout.id_bytes == 4 else 8
        if first + ids * self.layout.id_bytes * c_ent > len(data):
            raise PstError("block %#x lists more subnodes than it holds" % bid)
        entries = self.layout.read_ids(data, first, ids * c_ent)
        for i in range(c_ent):
            if c_level == 0:
                _nid, sub_data, sub_sub = entries[3 * i:3 * i + 3]
                self.data_tree(sub_data, out)
                if sub_sub:
                    self.subnode_tree(sub_sub, out, depth + 1)
            else:
                _nid, child = entries[2 * i:2 * i + 2]
                self.subnode_tree(child, out, depth + 1)

    def node_blocks(self, node):
        out = set()
        self.data_tree(node.bid_data, out)
        if node.bid_sub:
            self.subnode_tree(node.bid_sub, out)
        return frozenset(out)

    def messages(self):
        return [Message(n.nid, n.parent, self.node_blocks(n))
                for n in self.nodes.values() if n.nid & 0x1F == NID_TYPE_NORMAL_MESSAGE]

    def allocation_faults(self):
        """(ib, size) of what the allocation maps get wrong: each interval whose map page is
        not a sound map page for its place, and each live block or tree page lying (partly)
        in space its map calls free. A writer would hand that space out again."""
        lay = self.layout
        faults = []
        maps = {}
        for start in range(lay.first_map, self.header.file_eof, lay.interval):
            page = self.data[start:start + lay.page]
            t_type, t_repeat, _sig, t_crc, t_bid = lay.read_page_trailer(page)
            if (t_type, t_repeat, t_bid) != (PTYPE_AMAP, PTYPE_AMAP, start) or \
                    t_crc != crc(page[:lay.page - lay.page_trailer_bytes]):
                faults.append((start, lay.interval))
            else:
                maps[start] = page[lay.map_at:lay.map_at + lay.map_bytes]
        for _kind, ib, size in self.units():
            start = lay.first_map + (ib - lay.first_map) // lay.interval * lay.interval
            bits = maps.get(start)
            if bits is None:
                continue
            # The first unit of an interval is the high bit of its map's first byte.
            units = range((ib - start) // lay.unit, (ib - start + size + lay.unit - 1) // lay.unit)
            if any(u >= 8 * len(bits) or not bits[u >> 3] & (0x80 >> (u & 7)) for u in units):
                faults.append((ib, size))
        return faults


def messages(pst_bytes):
    """The normal messages (node type 0x04), each with the (file offset, size) of every block
    it needs: its data tree and its whole subnode tree with the subnodes' data."""
    return Pst(pst_bytes).messages()


def surviving_messages(original_bytes, damaged_bytes):
    """How many of the original's messages have every one of their blocks byte-identical, at
    the same offsets, in the damaged file."""
    count = 0
    for m in messages(original_bytes):
        if all(original_bytes[ib:ib + size] == damaged_bytes[ib:ib + size] for ib, size in m.blocks):
            count += 1
    return count


def allocation_faults(pst_bytes):
    """What the allocation maps get wrong (see Pst.allocation_faults); an empty list for a
    file whose header marks the maps invalid, because readers rebuild them then."""
    pst = Pst(pst_bytes)
    return pst.allocation_faults() if pst.header.amap_valid else []


def tree_pages(pst_bytes):
    """Every page of both trees reachable from the header: (ib, bid, level, tree)."""
    return Pst(pst_bytes).pages


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            # Mapped rather than read, so that a file of gigabytes costs no memory of its own.
            size = os.fstat(f.fileno()).st_size
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
        pst = Pst(data)
        msgs = pst.messages()
    except OSError as e:
        print("pst_model.py: cannot read %s: %s" % (argv[1], e.strerror), file=sys.stderr)
        return 1
    except PstError as e:
        print("pst_model.py: %s: %s" % (argv[1], e), file=sys.stderr)
        return 1
    print("%d messages" % len(msgs))
    print("node tree: %d levels, %d nodes; block tree: %d levels, %d blocks"
          % (pst.depth("NBT"), len(pst.nodes), pst.depth("BBT"), len(pst.blocks)))
    faults = pst.allocation_faults()
    verdict = "%d faults, the first at %#x" % (len(faults), faults[0][0]) if faults else "sound"
    print("allocation maps: %s%s" % ("" if pst.header.amap_valid else "marked invalid; ", verdict))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
