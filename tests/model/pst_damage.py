"""Damaged copies of a PST file, the ways a disk loses parts of it.

Each scenario takes the bytes of a sound file and returns a damaged copy of the same length;
zeroing is the loss (an unreadable or overwritten sector reads back as something else, and
zeros are what recovery writes for a part it did not find). The places are derived from the
file's own structure through pst_model, so the same scenario means the same thing on any
Unicode PST, and every choice is deterministic.
"""

import random
import struct

import pst_model as model

CLUSTER = 4096


def zeroed(data, start, length):
    out = bytearray(data)
    start = max(0, start)
    end = min(len(out), start + length)
    out[start:end] = bytes(end - start)
    return out


def interval_start(index):
    return model.HEADER_BYTES + index * model.INTERVAL


def interval_of(ib):
    return (ib - model.HEADER_BYTES) // model.INTERVAL


def header_lost(data):
    """The header block (the first 17,408 bytes) is gone."""
    return zeroed(data, 0, model.HEADER_BYTES)


def header_and_first_map_lost(data):
    """The header block and the first allocation map page after it are gone: nothing on the
    disk begins the file any more."""
    return zeroed(data, 0, model.HEADER_BYTES + model.PAGE)


def last_interval_lost(data):
    """The last allocation-map interval is gone; it usually holds the newest tree pages."""
    last = interval_of(len(data) - 1)
    return zeroed(data, interval_start(last), len(data))


def nbt_root_lost(data):
    """The root page of the node tree is gone, nothing else."""
    h = model.read_header(data)
    return zeroed(data, h.nbt_ib, model.PAGE)


def tree_interval_lost(data):
    """The earliest interval that holds a page of the node tree is gone, with the block-tree
    pages, data blocks and allocation map it holds."""
    first = min(interval_of(p.ib) for p in model.tree_pages(data) if p.tree == "NBT")
    return zeroed(data, interval_start(first), model.INTERVAL)


def scattered_clusters_lost(data, count=8, seed=2026):
    """count 4 KiB clusters, chosen at random with a fixed seed, are gone."""
    clusters = random.Random(seed).sample(range(len(data) // CLUSTER), count)
    out = bytearray(data)
    for c in clusters:
        out[c * CLUSTER:(c + 1) * CLUSTER] = bytes(CLUSTER)
    return out


def nbt_root_cluster_lost(data):
    """The 4 KiB cluster around the node tree's root page is gone."""
    h = model.read_header(data)
    return zeroed(data, h.nbt_ib // CLUSTER * CLUSTER, CLUSTER)


def middle_nbt_page_lost(data):
    """One page of the node tree that is neither its root nor a leaf is gone (the middle one
    of them by file offset). Needs a node tree of at least three levels."""
    pages = model.tree_pages(data)
    root = max(p.level for p in pages if p.tree == "NBT")
    middle = sorted(p.ib for p in pages if p.tree == "NBT" and 0 < p.level < root)
    if not middle:
        raise ValueError("the node tree has %d levels; a middle page needs at least 3" % (root + 1))
    return zeroed(data, middle[len(middle) // 2], model.PAGE)


def contents_table_lost(data):
    """The first block of the largest contents table (a folder's list of its messages) is
    gone: the messages themselves survive."""
    pst = model.Pst(data)
    tables = [n for n in pst.nodes.values() if n.nid & 0x1F == 0x0E and n.bid_data]
    largest = max(tables, key=lambda n: sum(1 for m in pst.nodes.values() if m.nid & 0x1F == 0x04
                                            and m.parent == (n.nid & ~0x1F) | 0x02))
    ib, size = pst.blocks[largest.bid_data & ~1].ib, model.block_size(pst.blocks[largest.bid_data & ~1].cb)
    if largest.bid_data & 2:  # a data tree: its first data block
        first = struct.unpack_from("<Q", pst.block(largest.bid_data)[1], 8)[0]
        ib, size = pst.blocks[first & ~1].ib, model.block_size(pst.blocks[first & ~1].cb)
    return zeroed(data, ib, size)


def _folder_data_lost(data, pick):
    """The data block of one folder below the top of the folder tree is gone: pick(folders,
    parent) chooses it, parent being the folder with the most subfolders there."""
    pst = model.Pst(data)
    folders = [n for n in pst.nodes.values() if n.nid & 0x1F == 0x02]
    top = {n.nid for n in folders if n.parent == n.nid}
    top |= {n.nid for n in folders if n.parent in top}
    below = [n for n in folders if n.nid not in top]
    parent = max(below, key=lambda n: sum(1 for m in folders if m.parent == n.nid and m.nid != n.nid))
    lost = pick([n for n in folders if n.parent == parent.nid and n.nid != parent.nid], parent)
    ref = pst.blocks[lost.bid_data & ~1]
    return zeroed(data, ref.ib, model.block_size(ref.cb))


def parent_folder_lost(data):
    """The folder with the most subfolders is gone: they and their messages survive, with no
    folder above them."""
    return _folder_data_lost(data, lambda children, parent: parent)


def sibling_folder_lost(data):
    """One of those subfolders is gone, its siblings and its messages survive."""
    return _folder_data_lost(data, lambda children, parent: min(children, key=lambda n: n.nid))


# The scenarios the end-to-end test runs on enron.pst, by name.
SCENARIOS = {
    "header lost": header_lost,
    "last interval lost": last_interval_lost,
    "node tree root page lost": nbt_root_lost,
    "early interval with tree pages lost": tree_interval_lost,
    "8 scattered clusters lost": scattered_clusters_lost,
    "cluster around the node tree root lost": nbt_root_cluster_lost,
    "the largest folder's contents table lost": contents_table_lost,
    "a folder with subfolders lost": parent_folder_lost,
    "a folder with siblings lost": sibling_folder_lost,
}
