"""The three on-disk layouts a test file can be written in, and a writer that re-lays a sound
Unicode PST into the ANSI layout or the 4 KiB-page layout with the same nodes and data.

Each Layout knows its page and block trailers, its tree pages and entries, where its
allocation maps lie and how much each bit of them stands for. IntervalWriter appends whole
map intervals and hands out space in them; the Unicode generator and the re-layer share it.
"""

import struct
import zlib
from collections import defaultdict

import pst_model as model


class GenerateError(Exception):
    pass


class Layout:
    """Geometry and the packing of every structure that holds an ID or an offset."""
    name = ""
    page = 512
    first_map = model.HEADER_BYTES
    interval = model.INTERVAL
    map_at, map_bytes = 0, 496        # where a map page holds its bits, and how many bytes of them
    unit = 64                         # bytes one map bit stands for; blocks align to it too
    block_trailer = 16
    entries_bytes = 488               # a tree page's entries, then its count, max, width, level
    nbt_leaf = (32, 15)               # (bytes per entry, entries per page)
    bbt_leaf = (24, 20)
    branch = (24, 20)
    old_maps = True                   # page maps and free maps, deprecated, where older readers look
    max_file = model.HEADER_BYTES + 8192 * model.INTERVAL   # a free-page map would be due beyond, which is left out
    versions = range(23, 36)          # the header's wVer values of this layout
    header_bytes = model.OFF_CRC_FULL + 40   # the header structure; the rest of its block is not read
    page_trailer_bytes = 16
    id_bytes = 8                      # bytes of a block or node ID in an internal block

    def page_trailer(self, page, ptype, sig, bid):
        struct.pack_into("<BBHIQ", page, self.page - 16, ptype, ptype, sig, model.crc(page[:self.page - 16]), bid)

    def read_page_trailer(self, page):
        """(type, repeated type, signature, CRC, BID) of a page."""
        return struct.unpack_from("<BBHIQ", page, self.page - self.page_trailer_bytes)

    def read_root(self, data):
        """The header fields the readers use, by name."""
        r = model.OFF_ROOT
        file_eof, amap_last, amap_free = struct.unpack_from("<QQQ", data, r + model.ROOT_FILE_EOF)
        nbt_bid, nbt_ib, bbt_bid, bbt_ib = struct.unpack_from("<QQQQ", data, r + model.ROOT_NBT)
        return dict(crypt=data[model.OFF_CRYPT], file_eof=file_eof, amap_last=amap_last, amap_free=amap_free,
                    nbt_bid=nbt_bid, nbt_ib=nbt_ib, bbt_bid=bbt_bid, bbt_ib=bbt_ib,
                    bid_next_p=struct.unpack_from("<Q", data, model.OFF_BID_NEXT_P)[0],
                    bid_next_b=struct.unpack_from("<Q", data, model.OFF_BID_NEXT_B)[0],
                    unique=struct.unpack_from("<I", data, model.OFF_UNIQUE)[0],
                    rgnid=list(struct.unpack_from("<32I", data, model.OFF_RGNID)),
                    amap_valid=data[r + model.ROOT_AMAP_VALID])

    def page_bytes(self, body, ptype, ib, bid):
        """A page: body, zero padded, and its trailer; tree pages are signed, map pages not."""
        page = bytearray(self.page)
        page[:len(body)] = body
        sig = model.signature(ib, bid) if ptype in (model.PTYPE_NBT, model.PTYPE_BBT) else 0
        self.page_trailer(page, ptype, sig, bid)
        return page

    def map_body(self, bits):
        return bytes(self.map_at) + bits

    def block_size(self, cb):
        return (cb + self.block_trailer + self.unit - 1) // self.unit * self.unit

    def block_trailer_bytes(self, data, ib, bid, inflated):
        return struct.pack("<HHIQ", len(data), model.signature(ib, bid), model.crc(data), bid)

    def read_block_trailer(self, trailer):
        """(stored size, signature, CRC, BID, inflated size) of a block's trailer."""
        cb, sig, crc, bid = struct.unpack_from("<HHIQ", trailer)
        return cb, sig, crc, bid, cb

    def tree_meta(self, count, most, width, level):
        return struct.pack("<BBBB4x", count, most, width, level)

    def read_tree_meta(self, page):
        """(entries, most entries, bytes per entry, level) of a tree page."""
        return struct.unpack_from("<BBBB", page, self.entries_bytes)

    def nbt_entry(self, nid, bid_data, bid_sub, parent):
        return struct.pack("<QQQII", nid, bid_data, bid_sub, parent, 0)

    def read_nbt_entry(self, entry):
        """(NID, data BID, subnode BID, parent NID)."""
        return struct.unpack_from("<QQQI", entry)

    def bbt_entry(self, bid, ib, cb, inflated, refs):
        return struct.pack("<QQHHI", bid, ib, cb, refs, 0)

    def read_bbt_entry(self, entry):
        """(BID, offset, stored size, inflated size, references)."""
        bid, ib, cb, refs = struct.unpack_from("<QQHH", entry)
        return bid, ib, cb, cb, refs

    def branch_entry(self, key, bid, ib):
        return struct.pack("<QQQ", key, bid, ib)

    def read_branch_entry(self, entry):
        """(key, child BID, child offset)."""
        return struct.unpack_from("<QQQ", entry)

    def read_ids(self, data, at, count):
        """count block or node IDs of an internal block from offset at."""
        return struct.unpack_from("<%d%s" % (count, "Q" if self.id_bytes == 8 else "I"), data, at)


class UnicodeLayout(Layout):
    name = "unicode"


class AnsiLayout(Layout):
    """32-bit IDs and offsets; trailers of 12 bytes with the BID before the CRC; map pages
    start with 4 bytes of padding. The file stays under 2 GiB."""
    name = "ansi"
    map_at = 4
    block_trailer = 12
    entries_bytes = 496
    nbt_leaf = (16, 31)
    bbt_leaf = (12, 41)
    branch = (12, 41)
    max_file = 1 << 31
    versions = (14, 15)
    header_bytes = 512
    page_trailer_bytes = 12
    id_bytes = 4

    def page_trailer(self, page, ptype, sig, bid):
        struct.pack_into("<BBHII", page, self.page - 12, ptype, ptype, sig, bid, model.crc(page[:self.page - 12]))

    def read_page_trailer(self, page):
        ptype, repeat, sig, bid, crc = struct.unpack_from("<BBHII", page, self.page - 12)
        return ptype, repeat, sig, crc, bid

    def read_root(self, data):
        bid_next_b, bid_next_p, unique = struct.unpack_from("<III", data, 24)
        file_eof, amap_last, amap_free = struct.unpack_from("<III", data, 168)
        nbt_bid, nbt_ib, bbt_bid, bbt_ib = struct.unpack_from("<IIII", data, 184)
        return dict(crypt=data[461], file_eof=file_eof, amap_last=amap_last, amap_free=amap_free,
                    nbt_bid=nbt_bid, nbt_ib=nbt_ib, bbt_bid=bbt_bid, bbt_ib=bbt_ib, bid_next_p=bid_next_p,
                    bid_next_b=bid_next_b, unique=unique, rgnid=list(struct.unpack_from("<32I", data, 36)),
                    amap_valid=data[200])

    def block_trailer_bytes(self, data, ib, bid, inflated):
        return struct.pack("<HHII", len(data), model.signature(ib, bid), bid, model.crc(data))

    def read_block_trailer(self, trailer):
        cb, sig, bid, crc = struct.unpack_from("<HHII", trailer)
        return cb, sig, crc, bid, cb

    def tree_meta(self, count, most, width, level):
        return struct.pack("<BBBB", count, most, width, level)

    def nbt_entry(self, nid, bid_data, bid_sub, parent):
        return struct.pack("<IIII", nid, bid_data, bid_sub, parent)

    def read_nbt_entry(self, entry):
        return struct.unpack_from("<IIII", entry)

    def bbt_entry(self, bid, ib, cb, inflated, refs):
        return struct.pack("<IIHH", bid, ib, cb, refs)

    def read_bbt_entry(self, entry):
        bid, ib, cb, refs = struct.unpack_from("<IIHH", entry)
        return bid, ib, cb, cb, refs

    def branch_entry(self, key, bid, ib):
        return struct.pack("<III", key, bid, ib)

    def read_branch_entry(self, entry):
        return struct.unpack_from("<III", entry)


class Ost4kLayout(Layout):
    """4 KiB pages and 512-byte blocks, 24-byte trailers; a block may be stored deflated, its
    trailer and block-tree entry then giving both sizes. No page or free maps."""
    name = "4k"
    page = 4096
    first_map = 0x22000
    interval = 0xFE8000
    map_bytes = 4072
    unit = 512
    block_trailer = 24
    entries_bytes = 4056
    nbt_leaf = (32, 126)
    bbt_leaf = (24, 169)
    branch = (24, 169)
    old_maps = False
    max_file = 1 << 40
    versions = (36,)
    page_trailer_bytes = 24

    def page_trailer(self, page, ptype, sig, bid):
        # The last 8 bytes are 1 in every page of the real files.
        struct.pack_into("<BBHIQQ", page, self.page - 24, ptype, ptype, sig, model.crc(page[:self.page - 24]), bid, 1)

    def block_trailer_bytes(self, data, ib, bid, inflated):
        # The field after the BID is 2 in every block of the real files.
        return struct.pack("<HHIQHHI", len(data), model.signature(ib, bid), model.crc(data), bid, 2, inflated, 0)

    def read_block_trailer(self, trailer):
        cb, sig, crc, bid, _two, inflated = struct.unpack_from("<HHIQHH", trailer)
        return cb, sig, crc, bid, inflated

    def tree_meta(self, count, most, width, level):
        return struct.pack("<HHBB10x", count, most, width, level)

    def read_tree_meta(self, page):
        return struct.unpack_from("<HHBB", page, self.entries_bytes)

    def bbt_entry(self, bid, ib, cb, inflated, refs):
        return struct.pack("<QQHHHH", bid, ib, cb, inflated, refs, 0)

    def read_bbt_entry(self, entry):
        return struct.unpack_from("<QQHHH", entry)


LAYOUTS = {cls.name: cls() for cls in (UnicodeLayout, AnsiLayout, Ost4kLayout)}
UNICODE = LAYOUTS["unicode"]


def of_version(version):
    """The layout of a header's wVer, or None when no layout has it."""
    return next((lay for lay in LAYOUTS.values() if version in lay.versions), None)

PMAP_EVERY = 8                 # intervals per page map
FMAP_FIRST, FMAP_EVERY = 128, 496  # the header's free map covers the first 128 intervals


class IntervalWriter:
    """Appends whole intervals to the output, each starting with its allocation map page, and
    hands out space in them: pages or blocks aligned as asked, never across an interval."""

    def __init__(self, out, first_index, progress, layout=UNICODE):
        self.out = out
        self.lay = layout
        self.index = first_index - 1
        self.free_bytes = 0
        self.last_amap = None
        self.progress = progress
        self._open_next()

    def _open_next(self):
        lay = self.lay
        self.index += 1
        self.start = lay.first_map + self.index * lay.interval
        if self.start + lay.interval > lay.max_file:
            raise GenerateError("the file would pass %d bytes, the most this writer makes in the %s layout"
                                % (lay.max_file, lay.name))
        self.buf = bytearray(lay.interval)
        self.amap = bytearray(lay.map_bytes)
        self.used = 0
        self.maps = [model.PTYPE_AMAP]
        if lay.old_maps and self.index % PMAP_EVERY == 0:
            self.maps.append(model.PTYPE_PMAP)
        if lay.old_maps and self.index >= FMAP_FIRST and (self.index - FMAP_FIRST) % FMAP_EVERY == 0:
            self.maps.append(model.PTYPE_FMAP)
        self._take(lay.page * len(self.maps))

    def _take(self, size):
        at = self.used
        unit = self.lay.unit
        for u in range(at // unit, (at + size) // unit):
            self.amap[u >> 3] |= 0x80 >> (u & 7)
        self.used = at + size
        return at

    def alloc(self, size, align):
        at = (self.used + align - 1) // align * align
        if at + size > self.lay.interval:
            self._close()
            self._open_next()
            at = (self.used + align - 1) // align * align
        self.used = at
        return self.start + self._take(size)

    def put(self, ib, data):
        at = ib - self.start
        self.buf[at:at + len(data)] = data

    def _close(self):
        lay = self.lay
        for i, ptype in enumerate(self.maps):
            ib = self.start + i * lay.page
            # Page and free maps are deprecated and kept only for older readers; they are
            # all 0xFF, as the sample's page maps and its header's initial free map are.
            bits = self.amap if ptype == model.PTYPE_AMAP else b"\xff" * lay.map_bytes
            self.buf[i * lay.page:(i + 1) * lay.page] = lay.page_bytes(lay.map_body(bits), ptype, ib, ib)
        self.free_bytes += lay.unit * sum(8 - bin(b).count("1") for b in self.amap)
        self.last_amap = self.start
        self.out.write(self.buf)
        self.progress(self.start + lay.interval)

    def finish(self):
        self._close()
        return self.start + self.lay.interval


class PageIds:
    """Hands out page BIDs from the header's next one, every second ID as the sample does."""

    def __init__(self, first):
        self.next = first

    def __call__(self):
        bid = self.next
        self.next += 2
        return bid


def write_tree(writer, lay, page_bid, entries, leaf, ptype):
    """Writes a B-tree of (key, entry bytes) pairs sorted by key, leaves packed full;
    returns (root bid, root ib, levels)."""
    level_items = entries
    level = 0
    while True:
        width, per_page = leaf if level == 0 else lay.branch
        parents = []
        for i in range(0, len(level_items), per_page):
            chunk = level_items[i:i + per_page]
            body = bytearray(b"".join(e for _k, e in chunk).ljust(lay.entries_bytes, b"\0"))
            body += lay.tree_meta(len(chunk), per_page, width, level)
            bid = page_bid()
            ib = writer.alloc(lay.page, lay.page)
            writer.put(ib, lay.page_bytes(body, ptype, ib, bid))
            parents.append((chunk[0][0], lay.branch_entry(chunk[0][0], bid, ib), bid, ib))
        if len(parents) == 1:
            return parents[0][2], parents[0][3], level + 1
        level_items = [(k, e) for k, e, _b, _i in parents]
        level += 1


# The permute encoding's byte substitution; decoding applies its inverse.
PERMUTE = bytes([
     65,  54,  19,  98, 168,  33, 110, 187, 244,  22, 204,   4, 127, 100, 232,  93,
     30, 242, 203,  42, 116, 197,  94,  53, 210, 149,  71, 158, 150,  45, 154, 136,
     76, 125, 132,  63, 219, 172,  49, 182,  72,  95, 246, 196, 216,  57, 139, 231,
     35,  59,  56, 142, 200, 193, 223,  37, 177,  32, 165,  70,  96,  78, 156, 251,
    170, 211,  86,  81,  69, 124,  85,   0,   7, 201,  43, 157, 133, 155,   9, 160,
    143, 173, 179,  15,  99, 171, 137,  75, 215, 167,  21,  90, 113, 102,  66, 191,
     38,  74, 107, 152, 250, 234, 119,  83, 178, 112,   5,  44, 253,  89,  58, 134,
    126, 206,   6, 235, 130, 120,  87, 199, 141,  67, 175, 180,  28, 212,  91, 205,
    226, 233,  39,  79, 195,   8, 114, 128, 207, 176, 239, 245,  40, 109, 190,  48,
     77,  52, 146, 213,  14,  60,  34,  50, 229, 228, 249, 159, 194, 209,  10, 129,
     18, 225, 238, 145, 131, 118, 227, 151, 230,  97, 138,  23, 121, 164, 183, 220,
    144, 122,  92, 140,   2, 166, 202, 105, 222,  80,  26,  17, 147, 185,  82, 135,
     88, 252, 237,  29,  55,  73,  27, 106, 224,  41,  51, 153, 189, 108, 217, 148,
    243,  64,  84, 111, 240, 198, 115, 184, 214,  62, 101,  24,  68,  31, 221, 103,
     16, 241,  12,  25, 236, 174,   3, 161,  20, 123, 169,  11, 255, 248, 163, 192,
    162,   1, 247,  46, 188,  36, 104, 117,  13, 254, 186,  47, 181, 208, 218,  61,
])
UNPERMUTE = bytes(PERMUTE.index(b) for b in range(256))

CRYPT_NONE, CRYPT_PERMUTE = 0, 1
HN_SIG, TC_SIG, BTH_SIG = 0xEC, 0x7C, 0xB5


class Heap:
    """The blocks of one heap-on-node, decoded, with the items its HIDs name."""

    def __init__(self, blocks):
        self.blocks = blocks

    def item_range(self, hid):
        """(block index, allocation index, start, end) of a HID; None if it names no item."""
        index, block = (hid >> 5) & 0x7FF, hid >> 16
        if hid & 0x1F or index == 0 or block >= len(self.blocks):
            return None
        data = self.blocks[block]
        if len(data) < 4:
            return None
        ib_map = struct.unpack_from("<H", data, 0)[0]
        if ib_map + 4 > len(data):
            return None
        c_alloc = struct.unpack_from("<H", data, ib_map)[0]
        if index > c_alloc or ib_map + 4 + 2 * (c_alloc + 1) > len(data):
            return None
        start, end = struct.unpack_from("<HH", data, ib_map + 4 + 2 * (index - 1))
        return (block, index, start, end) if start <= end <= ib_map else None

    def item(self, hid):
        r = self.item_range(hid)
        return None if r is None else self.blocks[r[0]][r[2]:r[3]]


def row_index_items(heap):
    """For a table context: the row index's header item and its leaf items, as (block index,
    allocation index) pairs; empty for any other heap or a table that does not parse."""
    first = heap.blocks[0]
    if len(first) < 8 or first[2] != HN_SIG or first[3] != TC_SIG:
        return set(), set()
    info = heap.item(struct.unpack_from("<I", first, 4)[0])
    if info is None or len(info) < 22 or info[0] != TC_SIG:
        return set(), set()
    hid_header = struct.unpack_from("<I", info, 10)[0]
    header = heap.item(hid_header)
    if header is None or len(header) < 8 or header[0] != BTH_SIG or header[1:3] != b"\x04\x04":
        return set(), set()
    levels, hid_root = header[3], struct.unpack_from("<I", header, 4)[0]
    leaves = set()

    def walk(hid, level):
        r = heap.item_range(hid)
        if r is None:
            raise GenerateError("a table's row index names a missing heap item %#x" % hid)
        if level == 0:
            leaves.add(r[:2])
            return
        node = heap.blocks[r[0]][r[2]:r[3]]
        for at in range(0, len(node) - 7, 8):
            walk(struct.unpack_from("<I", node, at + 4)[0], level - 1)

    if hid_root:
        walk(hid_root, levels)
    return {heap.item_range(hid_header)[:2]}, leaves


def narrow_row_index(data, headers, leaves):
    """A heap block with its row index's entries cut from 4 to 2 bytes (row ID, 16-bit row
    index): the named items are rewritten, the items after them move down, and the page map
    follows them. HIDs name items by index, so they all stay valid."""
    ib_map = struct.unpack_from("<H", data, 0)[0]
    c_alloc, c_free = struct.unpack_from("<HH", data, ib_map)
    offsets = struct.unpack_from("<%dH" % (c_alloc + 1), data, ib_map + 4)
    out = bytearray(data[:offsets[0]])
    new_offsets = [len(out)]
    for i in range(1, c_alloc + 1):
        item = bytes(data[offsets[i - 1]:offsets[i]])
        if i in headers:
            item = item[:2] + b"\x02" + item[3:]
        elif i in leaves:
            rows = [struct.unpack_from("<II", item, at) for at in range(0, len(item) - 7, 8)]
            if any(index > 0xFFFF for _id, index in rows):
                raise GenerateError("a table has more rows than the ANSI layout's row index can number")
            item = b"".join(struct.pack("<IH", row_id, index) for row_id, index in rows)
        out += item
        new_offsets.append(len(out))
    if len(out) % 2:
        out += b"\0"
    struct.pack_into("<H", out, 0, len(out))
    out += struct.pack("<HH%dH" % (c_alloc + 1), c_alloc, c_free, *new_offsets)
    return bytes(out)


# Property types whose value a table cell or a property context holds in its own 4 bytes; any
# other type's 4 bytes are an HNID: a heap item or a subnode.
INLINE_TYPES = {0x0002, 0x0003, 0x0004, 0x000A, 0x000B}


def wide_hid(hid):
    """A HID as the 4 KiB layout numbers it: the block index starts at bit 19, not 16."""
    if hid & 0x1F or not hid >> 16:
        return hid
    return (hid >> 16) << 19 | (hid & 0xFFFF)


def widen_heap_ids(heap, rows):
    """Patches, as {block index: {offset: new HID}}, that renumber every HID a heap holds for
    the 4 KiB layout: the heap's root, a property context's or table's B-trees and values, and
    a table's rows. rows: the row matrix blocks when they lie in a subnode, else None; the
    patches for those come back keyed ("rows", block index)."""
    patches = defaultdict(dict)

    def hid_at(block, at):
        value = struct.unpack_from("<I", heap.blocks[block], at)[0]
        if wide_hid(value) != value:
            patches[block][at] = wide_hid(value)
        return value

    def item_at(hid):
        r = heap.item_range(hid)
        if r is None:
            raise GenerateError("a heap names a missing item %#x" % hid)
        return r

    def bth(hid_header, leaf_value):
        """Every HID of a B-tree on the heap; leaf_value(block, at) for each of its records."""
        block, _i, start, _end = item_at(hid_header)
        b = heap.blocks[block]
        key, ent, levels = b[start + 1], b[start + 2], b[start + 3]
        walk(hid_at(block, start + 4), levels, key, ent, leaf_value)

    def walk(hid, level, key, ent, leaf_value):
        if not hid:
            return
        block, _i, start, end = item_at(hid)
        width = key + (4 if level else ent)
        for at in range(start, end - width + 1, width):
            if level:
                walk(hid_at(block, at + key), level - 1, key, ent, leaf_value)
            elif leaf_value:
                leaf_value(block, at)

    first = heap.blocks[0]
    root = hid_at(0, 4)
    if first[3] == 0xBC:                    # property context: (tag 2, type 2, value 4)
        def value(block, at):
            if struct.unpack_from("<H", heap.blocks[block], at + 2)[0] not in INLINE_TYPES:
                hid_at(block, at + 4)
        bth(root, value)
    elif first[3] == BTH_SIG:
        bth(root, None)
    elif first[3] == TC_SIG:
        block, _i, start, _end = item_at(root)
        info = heap.blocks[block]
        c_cols = info[start + 1]
        row_size = struct.unpack_from("<H", info, start + 8)[0]
        bth(hid_at(block, start + 10), None)
        hnid_rows = hid_at(block, start + 14)
        hid_at(block, start + 18)
        cells = []
        for c in range(c_cols):
            tag, ib, cb, _bit = struct.unpack_from("<IHBB", info, start + 22 + 8 * c)
            if cb == 4 and tag & 0xFFFF not in INLINE_TYPES:
                cells.append(ib)
        if rows is None and hnid_rows:
            r = item_at(hnid_rows)
            matrix = [(r[0], r[2], r[3])]
        else:
            matrix = [(("rows", i), 0, len(data)) for i, data in enumerate(rows or [])]
        for where, start, end in matrix:
            data = heap.blocks[where] if rows is None else rows[where[1]]
            for at in range(start, end - row_size + 1, row_size):
                for ib in cells:
                    value = struct.unpack_from("<I", data, at + ib)[0]
                    if wide_hid(value) != value:
                        patches[where][at + ib] = wide_hid(value)
    return patches


class Relayer:
    """Writes the nodes and blocks of a sound Unicode PST anew in another layout: every block
    under its own BID, internal blocks with their IDs repacked, both trees, maps and header.
    The 4 KiB layout gets its data blocks unencoded and a share of them deflated."""

    def __init__(self, data, layout):
        self.data = data
        self.lay = layout
        self.pst = model.Pst(data)
        self.crypt = self.pst.header.crypt
        if self.crypt not in (CRYPT_NONE, CRYPT_PERMUTE):
            raise GenerateError("the file uses the cyclic encoding, which this writer does not re-lay")
        self.out_crypt = CRYPT_NONE if layout.name == "4k" else self.crypt
        self.totals = {}             # bid -> bytes of data its data tree holds
        self.narrow = defaultdict(lambda: (set(), set()))   # bid -> row index items to narrow
        self.patches = defaultdict(dict)                    # bid -> {offset: HID renumbered}
        self.deflated = 0

    def _decode(self, bid, data):
        if bid & model.BID_INTERNAL or self.crypt == CRYPT_NONE:
            return bytes(data)
        return bytes(data).translate(UNPERMUTE)

    def _leaves(self, bid):
        """BIDs of the data blocks of the data tree rooted at bid, in order."""
        if not bid & model.BID_INTERNAL:
            return [bid]
        _ib, data = self.pst.block(bid)
        c_ent = struct.unpack_from("<H", data, 2)[0]
        return [leaf for child in struct.unpack_from("<%dQ" % c_ent, data, 8) for leaf in self._leaves(child)]

    def _subnodes(self, bid):
        """{nid: (data bid, subnode bid)} of the subnode tree rooted at bid."""
        out = {}
        if not bid:
            return out
        _ib, data = self.pst.block(bid)
        level, c_ent = data[1], struct.unpack_from("<H", data, 2)[0]
        for i in range(c_ent):
            if level == 0:
                nid, sub_data, sub_sub = struct.unpack_from("<QQQ", data, 8 + 24 * i)
                out[nid & 0xFFFFFFFF] = (sub_data, sub_sub)
            else:
                out.update(self._subnodes(struct.unpack_from("<QQ", data, 8 + 16 * i)[1]))
        return out

    def _heaps(self):
        """(data-tree leaves, Heap, row matrix leaves) of every node's and subnode's heap,
        once each; the row matrix leaves are those of a table whose rows lie in a subnode."""
        pending = sorted({(n.bid_data, n.bid_sub) for n in self.pst.nodes.values() if n.bid_data})
        seen = set()
        while pending:
            bid_data, bid_sub = pending.pop()
            if (bid_data, bid_sub) in seen:
                continue
            seen.add((bid_data, bid_sub))
            subs = self._subnodes(bid_sub)
            pending.extend(subs.values())
            leaves = self._leaves(bid_data)
            first = self._decode(leaves[0], self.pst.block(leaves[0])[1])
            if len(first) < 8 or first[2] != HN_SIG:
                continue
            heap = Heap([first] + [self._decode(b, self.pst.block(b)[1]) for b in leaves[1:]])
            row_leaves = []
            if first[3] == TC_SIG:
                info = heap.item(struct.unpack_from("<I", first, 4)[0])
                hnid_rows = struct.unpack_from("<I", info, 14)[0] if info and len(info) >= 22 else 0
                if hnid_rows & 0x1F:
                    if hnid_rows not in subs:
                        raise GenerateError("a table's rows lie in a missing subnode %#x" % hnid_rows)
                    row_leaves = self._leaves(subs[hnid_rows][0])
            yield leaves, heap, row_leaves

    def _plan_ansi(self):
        """Finds the row index items of every table, block by block."""
        for leaves, heap, row_leaves in self._heaps():
            if len(row_leaves) > 1:
                # Rows never straddle blocks, and how many fill one depends on the block size.
                raise GenerateError("a table's rows fill more than one block, which this writer does not "
                                    "re-lay into the ANSI layout's")
            headers, items = row_index_items(heap)
            for block, index in headers:
                self.narrow[leaves[block] & ~1][0].add(index)
            for block, index in items:
                self.narrow[leaves[block] & ~1][1].add(index)

    def _plan_4k(self):
        """Renumbers the HIDs of every heap that spans more than one block; a heap in one
        block has block index 0, which both numberings write alike."""
        for leaves, heap, row_leaves in self._heaps():
            if len(leaves) < 2:
                continue
            rows = [self._decode(b, self.pst.block(b)[1]) for b in row_leaves] if row_leaves else None
            for where, fixes in widen_heap_ids(heap, rows).items():
                bid = row_leaves[where[1]] if isinstance(where, tuple) else leaves[where]
                self.patches[bid & ~1].update(fixes)

    def _data(self, bid):
        """A data block's bytes in the new layout, unencoded and not deflated."""
        data = self._decode(bid, self.pst.block(bid)[1])
        headers, leaves = self.narrow.get(bid & ~1, (None, None))
        if headers or leaves:
            data = narrow_row_index(data, headers, leaves)
        fixes = self.patches.get(bid & ~1)
        if fixes:
            data = bytearray(data)
            for at, hid in fixes.items():
                struct.pack_into("<I", data, at, hid)
            data = bytes(data)
        return data

    def _total(self, bid):
        """Bytes of data the data tree rooted at bid holds in the new layout."""
        key = bid & ~1
        if key not in self.totals:
            if not bid & model.BID_INTERNAL:
                self.totals[key] = len(self._data(bid)) if key in self.narrow else self.pst.blocks[key].cb
            else:
                data = self.pst.block(bid)[1]
                c_ent = struct.unpack_from("<H", data, 2)[0]
                self.totals[key] = sum(self._total(c) for c in struct.unpack_from("<%dQ" % c_ent, data, 8))
        return self.totals[key]

    def _convert(self, bid):
        """(stored bytes, inflated size) of a block in the new layout."""
        data = self._decode(bid, self.pst.block(bid)[1])
        if bid & model.BID_INTERNAL:
            btype, level, c_ent = data[0], data[1], struct.unpack_from("<H", data, 2)[0]
            if btype not in (0x01, 0x02):
                raise GenerateError("block %#x is internal but of unknown type %d" % (bid, btype))
            if self.lay.name == "ansi" and btype == 0x01:
                children = struct.unpack_from("<%dQ" % c_ent, data, 8)
                data = struct.pack("<BBHI%dI" % c_ent, btype, level, c_ent, self._total(bid), *children)
            elif self.lay.name == "ansi":
                width = 24 if level == 0 else 16
                rows = [struct.unpack_from("<QQQ" if level == 0 else "<QQ", data, 8 + width * i) for i in range(c_ent)]
                data = struct.pack("<BBH", btype, level, c_ent) + b"".join(
                    struct.pack("<%dI" % len(row), *row) for row in rows)
            return data, len(data)
        data = self._data(bid)
        if self.lay.name == "4k" and (bid >> 2) % 4:
            packed = zlib.compress(data, 6)
            if len(packed) < len(data):
                self.deflated += 1
                return packed, len(data)
        return (data.translate(PERMUTE) if self.out_crypt == CRYPT_PERMUTE else data), len(data)

    def write(self, out, progress):
        lay = self.lay
        h = self.pst.header
        if lay.name == "ansi":
            if h.bid_next_b >= 1 << 32:
                raise GenerateError("the file's block IDs do not fit the ANSI layout's 32 bits")
            self._plan_ansi()
        elif lay.name == "4k":
            self._plan_4k()
        out.write(bytes(lay.first_map))
        writer = IntervalWriter(out, 0, progress, lay)
        bbt = []
        for bid in sorted(self.pst.blocks):
            stored, inflated = self._convert(bid)
            ib = writer.alloc(lay.block_size(len(stored)), lay.unit)
            writer.put(ib, stored)
            writer.put(ib + lay.block_size(len(stored)) - lay.block_trailer,
                       lay.block_trailer_bytes(stored, ib, bid, inflated))
            bbt.append((bid, lay.bbt_entry(bid, ib, len(stored), inflated, self.pst.blocks[bid].refs)))
        nbt = [(nid, lay.nbt_entry(nid, n.bid_data, n.bid_sub, n.parent)) for nid, n in sorted(self.pst.nodes.items())]
        page_bid = PageIds(h.bid_next_p)
        bbt_root = write_tree(writer, lay, page_bid, bbt, lay.bbt_leaf, model.PTYPE_BBT)
        nbt_root = write_tree(writer, lay, page_bid, nbt, lay.nbt_leaf, model.PTYPE_NBT)
        eof = writer.finish()
        if lay.name == "ansi" and page_bid.next >= 1 << 32:
            raise GenerateError("the file's page IDs do not fit the ANSI layout's 32 bits")
        out.seek(0)
        out.write(self._header(eof, writer.last_amap, writer.free_bytes, nbt_root, bbt_root, page_bid.next))
        return {"bytes": eof, "blocks": len(bbt), "deflated": self.deflated, "nodes": len(self.pst.nodes),
                "messages": sum(1 for n in self.pst.nodes if n & 0x1F == model.NID_TYPE_NORMAL_MESSAGE),
                "node_levels": nbt_root[2], "block_levels": bbt_root[2]}

    def _header(self, eof, last_amap, free, nbt_root, bbt_root, next_page):
        u = self.data[:model.HEADER_BYTES]
        h = self.pst.header
        if self.lay.name == "ansi":
            out = bytearray(512)
            out[0:4] = u[0:4]
            out[8:10] = u[8:10]
            # wVer 14, client version 19, platforms and the two reserved words as they were.
            struct.pack_into("<HH", out, 10, 14, 19)
            out[14:24] = u[14:24]
            struct.pack_into("<III", out, 24, h.bid_next_b, next_page, (h.unique + 1) & 0xFFFFFFFF)
            out[36:164] = u[model.OFF_RGNID:model.OFF_RGNID + 128]
            struct.pack_into("<IIIII", out, 168, eof, last_amap, free, 0, nbt_root[0])
            struct.pack_into("<III", out, 188, nbt_root[1], bbt_root[0], bbt_root[1])
            out[200] = 2                        # the allocation maps are valid
            out[204:460] = u[256:512]           # the deprecated free-map bytes
            out[460] = 0x80
            out[461] = self.out_crypt
            struct.pack_into("<I", out, 4, model.crc(out[8:8 + 471]))
            return bytes(out)
        out = bytearray(u[:model.OFF_CRC_FULL + 40])      # the Unicode header, 564 bytes
        # An offline store's magic, wVer 36 and the client version of the real files.
        out[8:10] = b"SO"
        struct.pack_into("<HH", out, model.OFF_VERSION, 36, 12)
        struct.pack_into("<Q", out, model.OFF_BID_NEXT_P, next_page)
        struct.pack_into("<I", out, model.OFF_UNIQUE, (h.unique + 1) & 0xFFFFFFFF)
        r = model.OFF_ROOT
        struct.pack_into("<QQQQ", out, r + model.ROOT_FILE_EOF, eof, last_amap, free, 0)
        struct.pack_into("<QQQQ", out, r + model.ROOT_NBT, nbt_root[0], nbt_root[1], bbt_root[0], bbt_root[1])
        out[r + model.ROOT_AMAP_VALID] = 2
        out[256:512] = bytes(256)               # no free-map bytes in this layout
        out[model.OFF_CRYPT] = self.out_crypt
        struct.pack_into("<I", out, model.OFF_CRC_PARTIAL, model.crc(out[8:8 + 471]))
        struct.pack_into("<I", out, model.OFF_CRC_FULL, model.crc(out[8:8 + 516]))
        return bytes(out)
