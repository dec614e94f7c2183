#!/usr/bin/env python3
"""Builds file-system images holding deleted, fragmented PST files, with their ground truth.

usage: make_fs_image.py LABEL [LABEL ...] -o DIR [--seed N]

A LABEL (see LAYOUTS; `make_fs_image.py --list` prints them) names a file system and cluster
size (ext4 with 1, 2 or 4 KiB blocks through a loop device; NTFS with 512 B or 4 KiB clusters
through ntfs-3g; FAT32 with 512 B or 4 KiB clusters through mtools, never mounted; exFAT
through its FUSE driver) and what happens on it. DIR receives LABEL.img and LABEL.json.

Each image is filled nearly full with filler files of random bytes, every other one of them
is deleted so that the free space is a row of scattered holes (large holes: fillers of 4 to
256 KiB; small holes: fillers of 1 to 4 clusters), then the PST files go into those holes:
one after the other, or two at once in turns of 1 to 4 clusters (each turn synced, so the file
system hands out its clusters in that order). Then they are deleted (an old copy: the first is
deleted after the second was written, which stays), optionally the volume is quick-formatted
over them, and optionally clusters are overwritten with random bytes: the clusters holding the
header, the cluster holding one block-tree page other than the root, or 1% or 3% of the
file's clusters.

The JSON lists, for each PST, the physical extents the file system gave it (file offset, image
offset, length; the file system starts at image offset 0), read from the file system before
the delete, and checked by reading the file back through them: before the delete it must give
the PST byte for byte. After the last step, each header, tree page and block (by file offset)
that no longer reads back the same is listed as destroyed, with the messages whose blocks all
survived (pst_model); with nothing but a delete, nothing may be destroyed. The same (label,
seed) gives the same layout (ext4: see fixed_writer). ext4, NTFS and exFAT need root. Exit 77, with the reason, when no image could be built
because a tool, root rights, FUSE or loop devices are missing.
"""

import argparse
import errno
import fcntl
import functools
import hashlib
import io
import json
import math
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import pst_generate  # noqa: E402
import pst_layout  # noqa: E402
import pst_model  # noqa: E402

ENRON = os.path.join(HERE, "..", "data", "enron.pst")
SKIP = 77
KIB, MIB = 1024, 1024 * 1024
FILLER_MIN, FILLER_MAX = 4 * KIB, 256 * KIB   # log-uniform: holes mostly far shorter than a map interval
EXTRA_MESSAGES = 200
BIG_EXTRA = 8 * MIB            # the second, different mailbox: enron with copies of its messages
LOCK = "/run/lock/kestrix-loop-devices.lock"   # held while an image is built: loop devices, mounts

# psts: what is hidden, "enron", "grown" (enron and 200 more messages: a newer version of the
# same mailbox), "big" (copies of enron's messages under new block IDs: another mailbox whose
# IDs overlap enron's), "ansi" or "4k" (enron written anew in the ANSI layout, or in the 4 KiB-
# page layout of an offline store, which is hidden as an .ost); write: "one-by-one",
# "interleaved" or "old-copy" (the first deleted after the second was written; the second
# stays); after: "delete" or "quick-format"; damage: None, "header", "tree-page", "1%" or "3%"
# (of the first file).
Layout = namedtuple("Layout", "fs cluster small psts write after damage",
                    defaults=(False, ("enron",), "one-by-one", "delete", None))


def _layouts():
    out = {}
    for kib in (1, 2, 4):
        out["ext4-%dk" % kib] = Layout("ext4", kib * KIB)
        out["ext4-%dk-small" % kib] = Layout("ext4", kib * KIB, small=True)
    for name, cluster in (("512", 512), ("4k", 4 * KIB)):
        out["ntfs-" + name] = Layout("ntfs", cluster)
        out["ntfs-%s-quick-format" % name] = Layout("ntfs", cluster, after="quick-format")
        out["fat32-" + name] = Layout("fat32", cluster)
    out["exfat-4k"] = Layout("exfat", 4 * KIB)
    for fs in ("ext4", "ntfs", "fat32"):
        out[fs + "-4k-ansi"] = Layout(fs, 4 * KIB, psts=("ansi",))
        out[fs + "-4k-ost"] = Layout(fs, 4 * KIB, psts=("4k",))
    out["ntfs-512-ansi"] = Layout("ntfs", 512, psts=("ansi",))
    out["ntfs-512-ost"] = Layout("ntfs", 512, psts=("4k",))
    out["ext4-4k-two"] = Layout("ext4", 4 * KIB, psts=("enron", "grown"))
    out["ext4-4k-interleaved-two"] = Layout("ext4", 4 * KIB, psts=("enron", "big"), write="interleaved")
    out["ext4-4k-interleaved-versions"] = Layout("ext4", 4 * KIB, psts=("enron", "grown"), write="interleaved")
    out["ntfs-4k-interleaved-versions"] = Layout("ntfs", 4 * KIB, psts=("enron", "grown"), write="interleaved")
    out["ext4-4k-old-copy"] = Layout("ext4", 4 * KIB, psts=("enron", "grown"), write="old-copy")
    for damage, name in (("header", "header"), ("tree-page", "tree-page"), ("1%", "1pct"), ("3%", "3pct")):
        out["ext4-4k-lost-" + name] = Layout("ext4", 4 * KIB, damage=damage)
    return out


LAYOUTS = _layouts()


class Unavailable(Exception):
    """A tool or a kernel facility this image needs is missing on this machine."""


class BuildError(Exception):
    pass


def run(cmd, **kw):
    r = subprocess.run(cmd, capture_output=True, timeout=120, **kw)
    if r.returncode != 0:
        raise BuildError("%s exited %d: %s" % (" ".join(cmd), r.returncode,
                                               (r.stderr or r.stdout).decode(errors="replace").strip()))
    return r.stdout.decode(errors="replace")


def need_root(what):
    if os.geteuid() != 0:
        raise Unavailable("%s needs root" % what)


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise Unavailable("%s not installed (scripts/install-deps.sh installs it)" % ", ".join(missing))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_back(image, extents, size):
    """The file as its extents lay it out on the image; raises when they leave a gap, overlap
    or run past the image."""
    out = bytearray(size)
    covered = 0
    with open(image, "rb") as f:
        for e in sorted(extents, key=lambda e: e["file_offset"]):
            if e["file_offset"] != covered:
                raise BuildError("extents leave a gap or overlap at file offset %d" % covered)
            f.seek(e["image_offset"])
            piece = f.read(e["length"])
            if len(piece) != e["length"]:
                raise BuildError("extent at image offset %d runs past the image" % e["image_offset"])
            out[covered:covered + len(piece)] = piece
            covered += len(piece)
    if covered != size:
        raise BuildError("extents cover %d of %d bytes" % (covered, size))
    return bytes(out)


def clip(extents, size):
    """Extents in bytes, cut at the file's end (file systems hand out whole clusters) and with
    neighbours that are contiguous on the image merged."""
    out = []
    for file_off, img_off, length in sorted(extents):
        length = min(length, size - file_off)
        if length <= 0:
            continue
        last = out[-1] if out else None
        if last and last["file_offset"] + last["length"] == file_off and \
                last["image_offset"] + last["length"] == img_off:
            last["length"] += length
        else:
            out.append({"file_offset": file_off, "image_offset": img_off, "length": length})
    return out


def filler_sizes(rng, budget, cluster, small=False):
    """Sizes of filler files, log-uniform (small: 1 to 4 clusters) and rarely a whole number of
    clusters, that take at most budget bytes of clusters together."""
    sizes, used = [], 0
    while True:
        if small:
            size = rng.randint(1, 4) * cluster - rng.randrange(cluster)
        else:
            size = int(math.exp(rng.uniform(math.log(FILLER_MIN), math.log(FILLER_MAX)))) - rng.randrange(cluster)
        cost = -(-size // cluster) * cluster
        if used + cost > budget:
            return sizes
        sizes.append(size)
        used += cost


class Volume:
    """One file system on an image file. Subclasses know how to make it, put files on it,
    delete them and tell where a file's clusters lie."""
    margin = 1 * MIB           # left free for metadata: directories, extent trees, MFT records

    def __init__(self, image, scratch, cluster, small=False):
        self.image = image
        self.scratch = scratch
        self.cluster = cluster
        self.small = small

    def mkfs_image(self, size):
        with open(self.image, "wb") as f:
            f.truncate(size)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        pass


class MountedVolume(Volume):
    """A file system the kernel (or FUSE) mounts, from the image or through a loop device
    over it; files go in through the mount point."""
    via_loop = False
    loop = None

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.mnt = os.path.join(self.scratch, "mnt")
        os.makedirs(self.mnt, exist_ok=True)
        self.mounted = False

    def mount_command(self, device):
        raise NotImplementedError

    def need_loop(self):
        need("losetup")
        need_root("attaching a loop device")
        if not os.path.exists("/dev/loop-control") and not os.path.exists("/dev/loop0"):
            raise Unavailable("no loop devices (/dev/loop-control is missing)")

    def mount(self):
        device = self.image
        if self.via_loop:
            r = subprocess.run(["losetup", "--find", "--show", self.image], capture_output=True, timeout=60)
            if r.returncode != 0:
                raise Unavailable("cannot attach a loop device: %s" % r.stderr.decode(errors="replace").strip())
            device = self.loop = r.stdout.decode().strip()
        try:
            run(self.mount_command(device) + [self.mnt])
        except BuildError:
            self.detach()
            raise
        self.mounted = True

    def unmount(self):
        if self.mounted:
            run(["umount", self.mnt])
            self.mounted = False
        self.detach()

    def detach(self):
        # Also every other device on this image: a signal can land between losetup attaching
        # one and self.loop recording it.
        if not self.via_loop:
            return
        r = subprocess.run(["losetup", "-j", self.image], capture_output=True, timeout=60)
        devices = {line.split(":")[0] for line in r.stdout.decode().splitlines() if line.startswith("/dev/")}
        for dev in devices | ({self.loop} if self.loop else set()):
            subprocess.run(["losetup", "-d", dev], capture_output=True, timeout=60)
        self.loop = None

    def close(self):
        # After a signal the volume can be busy for a moment (a writer just killed, FUSE).
        for _attempt in range(10 if self.mounted else 0):
            if subprocess.run(["umount", self.mnt], capture_output=True).returncode == 0:
                break
            time.sleep(0.5)
        self.mounted = False
        self.detach()

    def free(self):
        st = os.statvfs(self.mnt)
        return st.f_bfree * st.f_frsize

    def put(self, files):
        """Writes files, (name, bytes) each, and returns how many fit: a file the volume has
        no room for is removed again and ends the list."""
        for count, (name, data) in enumerate(files):
            path = os.path.join(self.mnt, name)
            try:
                with open(path, "wb") as f:
                    f.write(data)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
                os.remove(path)
                os.sync()
                return count
        os.sync()
        return len(files)

    def put_interleaved(self, files, rng):
        """Writes files at once, in turns of 1 to 4 clusters each synced to disk, so that the
        file system hands their clusters out in that order."""
        handles = [open(os.path.join(self.mnt, name), "wb") for name, _d in files]
        try:
            at = [0] * len(files)
            while any(a < len(d) for a, (_n, d) in zip(at, files)):
                for i, (_n, data) in enumerate(files):
                    if at[i] < len(data):
                        step = rng.randint(1, 4) * self.cluster
                        handles[i].write(data[at[i]:at[i] + step])
                        handles[i].flush()
                        os.fsync(handles[i].fileno())
                        at[i] += step
        finally:
            for h in handles:
                h.close()
        os.sync()

    def delete(self, names):
        for name in names:
            os.remove(os.path.join(self.mnt, name))
        os.sync()


def need_fuse(what):
    need_root(what)
    if not os.path.exists("/dev/fuse"):
        raise Unavailable("%s needs /dev/fuse, which is missing" % what)


def fixed_writer(fn, *args):
    """fn(*args) in a child process pinned to one CPU whose PID is a multiple of 16, and its
    result: without delayed allocation, ext4 starts a file's blocks at a goal that depends on
    the writer's PID modulo 16, and puts small files in per-CPU preallocations."""
    cpu = min(os.sched_getaffinity(0))
    while True:
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            status, result = 3, None
            if os.getpid() % 16 == 0:
                try:
                    os.sched_setaffinity(0, {cpu})
                    status, result = 0, fn(*args)
                except BaseException as e:  # noqa: B036 -- handed to the parent, which raises
                    status, result = 1, "%s: %s" % (type(e).__name__, e)
            with os.fdopen(write, "w") as out:
                json.dump(result, out)
            os._exit(status)
        os.close(write)
        try:
            with os.fdopen(read) as inp:
                result = inp.read()
            status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        except BaseException:
            # A time-out's SIGTERM: stop the writer first, or the volume stays busy.
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise
        if status == 0:
            return json.loads(result)
        if status != 3:
            raise BuildError("writing through the mount failed: %s" % (json.loads(result or "null") or status))


class Ext4(MountedVolume):
    via_loop = True

    def put(self, files):
        return fixed_writer(super().put, files)

    def put_interleaved(self, files, rng):
        # The parent's generator moves on as the child's did.
        state = fixed_writer(lambda: (super(Ext4, self).put_interleaved(files, rng), rng.getstate())[1])
        rng.setstate((state[0], tuple(state[1]), state[2]))

    def create(self, size):
        need("mkfs.ext4", "filefrag", "mount", "umount")
        self.need_loop()
        self.mkfs_image(size)
        # No reserved blocks, inode tables written now rather than by a background thread
        # after mounting, and a fixed UUID and hash seed so the same seed lays out the same.
        # Small holes take a file per 2.5 clusters: enough inodes for them, of 128 bytes.
        uuid = "6b657374-7269-7800-0000-%012x" % self.cluster
        inodes = ["-I", "128", "-N", str(size // self.cluster // 2 + 4096)] if self.small else []
        run(["mkfs.ext4", "-q", "-F", "-b", str(self.cluster), "-m", "0", "-U", uuid] + inodes +
            ["-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard,hash_seed=" + uuid, self.image])

    def mount_command(self, device):
        # Blocks allocated at write() rather than at writeback, whose timing varies.
        return ["mount", "-t", "ext4", "-o", "noatime,nodelalloc", device]

    def extents(self, name, size):
        # Mounted and synced: filefrag reads the extent tree through FIEMAP, in fs blocks.
        out = run(["filefrag", "-s", "-e", "-v", os.path.join(self.mnt, name)])
        m = re.search(r"blocks of (\d+) bytes", out)
        if not m:
            raise BuildError("filefrag printed no block size:\n" + out)
        unit = int(m.group(1))
        found = []
        for line in out.splitlines():
            e = re.match(r"\s*\d+:\s*(\d+)\.\.\s*\d+:\s*(\d+)\.\.\s*\d+:\s*(\d+):(.*)$", line)
            if e:
                if re.search(r"unwritten|delalloc|unknown", e.group(4)):
                    raise BuildError("extent not on disk yet: " + line)
                found.append((int(e.group(1)) * unit, int(e.group(2)) * unit, int(e.group(3)) * unit))
        return clip(found, size)


class Ntfs(MountedVolume):
    def create(self, size):
        need("mkfs.ntfs", "ntfs-3g", "ntfsinfo", "umount")
        need_fuse("mounting NTFS with ntfs-3g")
        self.mkfs_image(size)
        self.format()

    def format(self):
        """A fast format (--fast: the data clusters are not touched), also over a used volume."""
        run(["mkfs.ntfs", "-q", "-f", "-F", "-c", str(self.cluster), "-L", "fill", self.image])

    def mount_command(self, device):
        return ["ntfs-3g", "-o", "noatime", device]

    def extents(self, name, size):
        # Unmounted: ntfsinfo reads the $DATA runlist from the MFT record, in clusters.
        was = self.mounted
        self.unmount()
        out = run(["ntfsinfo", "-v", "-F", "/" + name, self.image])
        if was:
            self.mount()
        found, in_runlist, data_attr = [], False, False
        for line in out.splitlines():
            if line.startswith("Dumping attribute"):
                data_attr, in_runlist = "$DATA" in line, False
            elif data_attr and "Runlist:" in line:
                in_runlist = True
            elif in_runlist:
                r = re.match(r"\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s*$", line)
                if not r:
                    in_runlist = False
                    continue
                vcn, lcn, length = (int(x, 16) for x in r.groups())
                found.append((vcn * self.cluster, lcn * self.cluster, length * self.cluster))
        return clip(found, size)


class Exfat(MountedVolume):
    """exFAT through its FUSE driver, which wants a block device: a loop device."""
    via_loop = True

    def create(self, size):
        need("mkfs.exfat", "mount.exfat-fuse", "umount")
        need_fuse("mounting exFAT with its FUSE driver")
        self.need_loop()
        self.mkfs_image(size)
        run(["mkfs.exfat", "-c", str(self.cluster), "-L", "fill", self.image])

    def mount_command(self, device):
        return ["mount.exfat-fuse", "-o", "noatime", device]

    def extents(self, name, size):
        # Unmounted: the file's directory entry set in the root directory, then its clusters,
        # contiguous (NoFatChain) or along the FAT.
        was = self.mounted
        self.unmount()
        with open(self.image, "rb") as f:
            boot = f.read(512)
            fat, _fat_len, heap, _count, root = struct.unpack_from("<5I", boot, 80)
            sector = 1 << boot[108]
            cluster = sector << boot[109]

            def chain(first):
                c = first
                while 2 <= c < 0xFFFFFFF7:
                    yield c
                    f.seek(fat * sector + 4 * c)
                    c = struct.unpack("<I", f.read(4))[0]

            def at(c):
                return heap * sector + (c - 2) * cluster

            entries = bytearray()
            for c in list(chain(root)):
                f.seek(at(c))
                entries += f.read(cluster)
            found = None
            for i in range(0, len(entries), 32):
                stream = entries[i + 32:i + 64]
                names = b"".join(entries[i + 66 + 32 * k:i + 96 + 32 * k] for k in range(entries[i + 1] - 1))
                if entries[i] == 0x85 and names[:2 * stream[3]].decode("utf-16-le", "replace") == name:
                    first, length = struct.unpack_from("<IQ", stream, 20)
                    n = -(-length // cluster)
                    clusters = range(first, first + n) if stream[1] & 2 else list(chain(first))[:n]
                    found = [(k * cluster, at(c), cluster) for k, c in enumerate(clusters)]
                    break
        if was:
            self.mount()
        if found is None:
            raise BuildError("no directory entry for %s on the exFAT volume" % name)
        return clip(found, size)


class Fat32(Volume):
    """FAT32 through mtools on the image file itself. mtools wants at least 65,525 clusters for
    FAT32, so the volume is larger and most of it goes to kept ballast files first; the filler
    then works in the last stretch as on the other file systems."""

    def create(self, size):
        need("mkfs.fat", "mcopy", "mdel", "mshowfat")
        self.size = max(size, 272 * MIB)
        self.mkfs_image(self.size)
        run(["mkfs.fat", "-F", "32", "-s", str(self.cluster // 512), "-S", "512", "-i", "4b585801", self.image])
        self.ballast = self.size - size
        self.bpb()

    def bpb(self):
        with open(self.image, "rb") as f:
            boot = f.read(512)
        bps, spc, reserved, nfats = struct.unpack_from("<HBHB", boot, 11)
        total = struct.unpack_from("<I", boot, 32)[0]
        fat_sectors = struct.unpack_from("<I", boot, 36)[0]
        if bps * spc != self.cluster:
            raise BuildError("mkfs.fat made %d-byte clusters, not %d" % (bps * spc, self.cluster))
        self.fat_offset = reserved * bps
        self.data_offset = (reserved + nfats * fat_sectors) * bps
        self.clusters = (total * bps - self.data_offset) // self.cluster

    def mount(self):
        pass

    def unmount(self):
        pass

    def free(self):
        with open(self.image, "rb") as f:
            f.seek(self.fat_offset + 8)
            fat = f.read(4 * self.clusters)
        return sum(1 for (v,) in struct.iter_unpack("<I", fat) if v & 0x0FFFFFFF == 0) * self.cluster

    def put(self, files):
        # One mcopy for a batch: mtools rereads the FAT at every start.
        batch = os.path.join(self.scratch, "batch")
        shutil.rmtree(batch, ignore_errors=True)
        os.makedirs(batch)
        paths = []
        for name, data in files:
            paths.append(os.path.join(batch, name))
            with open(paths[-1], "wb") as f:
                f.write(data)
        run(["mcopy", "-i", self.image, "-D", "o"] + paths + ["::/"])
        shutil.rmtree(batch)
        return len(files)

    def delete(self, names):
        run(["mdel", "-i", self.image] + ["::/" + n for n in names])

    def extents(self, name, size):
        out = run(["mshowfat", "-i", self.image, "::/" + name])
        found, at = [], 0
        for first, last in re.findall(r"<(\d+)(?:-(\d+))?>", out):
            first = int(first)
            count = (int(last) if last else first) - first + 1
            found.append((at, self.data_offset + (first - 2) * self.cluster, count * self.cluster))
            at += count * self.cluster
        return clip(found, size)


def volume(layout, image, scratch):
    kinds = {"ext4": Ext4, "ntfs": Ntfs, "exfat": Exfat, "fat32": Fat32}
    return kinds[layout.fs](image, scratch, layout.cluster, layout.small)


@functools.lru_cache(maxsize=None)
def pst_bytes(kind):
    """The bytes of a PST to hide: "enron", "grown", "big", "ansi" or "4k" (see Layout)."""
    with open(ENRON, "rb") as f:
        enron = f.read()
    if kind == "enron":
        return enron
    if kind in pst_layout.LAYOUTS:
        out = io.BytesIO()
        pst_layout.Relayer(enron, pst_layout.LAYOUTS[kind]).write(out, lambda _done: None)
        return out.getvalue()
    extra, size = {"grown": (EXTRA_MESSAGES, 0), "big": (0, len(enron) + BIG_EXTRA)}[kind]
    fd, path = tempfile.mkstemp(suffix=".pst", dir="/tmp")
    os.close(fd)
    try:
        pst_generate.Generator(enron).write(path, extra, size, lambda _done: None)
        with open(path, "rb") as f:
            return f.read()
    finally:
        os.remove(path)


def units(pst):
    """(kind, file offset, size) of the header, every tree page and every block of a parsed
    file: what must come back."""
    return [("header", 0, pst.layout.header_bytes)] + pst.units()


def file_name(kind):
    """The name a hidden file of kind goes by: an offline store's is an .ost."""
    return kind.upper() + (".OST" if kind == "4k" else ".PST")


def cluster_at(extents, offset, cluster):
    """Image offset of the cluster holding a file offset (extents start on cluster bounds)."""
    for e in extents:
        if e["file_offset"] <= offset < e["file_offset"] + e["length"]:
            return e["image_offset"] + (offset - e["file_offset"]) // cluster * cluster
    raise BuildError("file offset %d lies in no extent" % offset)


def damage(image, entry, data, kind, cluster, rng):
    """Overwrites, with random bytes, the clusters of one hidden file that kind names; returns
    their file offsets."""
    pst = pst_model.Pst(data)
    if kind == "header":
        offsets = range(0, pst.layout.header_bytes, cluster)
    elif kind == "tree-page":
        pages = [p.ib for p in pst.pages if p.tree == "BBT" and p.ib != pst.header.bbt_ib]
        offsets = [rng.choice(sorted(pages))]
    else:
        count = -(-len(data) // cluster)
        offsets = [c * cluster for c in sorted(rng.sample(range(count), max(1, round(count * float(kind[:-1]) / 100))))]
    with open(image, "r+b") as f:
        for at in sorted({cluster_at(entry["extents"], o, cluster) for o in offsets}):
            f.seek(at)
            f.write(rng.randbytes(cluster))
    return list(offsets)


def survey(image, entry, data):
    """What of a hidden file the image still holds at its extents: the units that no longer
    read back the same, and how many messages keep every block."""
    now = read_back(image, entry["extents"], entry["size"])
    pst = pst_model.Pst(data)
    entry["destroyed"] = {k: [] for k in ("header", "page", "block")}
    for kind, ib, size in units(pst):
        if now[ib:ib + size] != data[ib:ib + size]:
            entry["destroyed"][kind].append(ib)
    entry["messages"] = len(pst.messages())
    entry["survivable"] = pst_model.surviving_messages(data, now)


def build(label, out_dir, seed=1, log=print):
    """Makes out_dir/LABEL.img and out_dir/LABEL.json and returns the ground truth as written
    to the JSON. Raises Unavailable or BuildError."""
    layout = LAYOUTS[label]
    image = os.path.join(out_dir, label + ".img")
    rng = random.Random("%s/%d" % (label, seed))
    hidden = [(file_name(kind), pst_bytes(kind)) for kind in layout.psts]
    need_free = sum(len(d) for _n, d in hidden)
    scratch = tempfile.mkdtemp(prefix="fs-build-", dir="/tmp")
    lock = open(LOCK if os.path.isdir(os.path.dirname(LOCK)) else "/tmp/kestrix-loop-devices.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    try:
        with volume(layout, image, scratch) as vol:
            vol.create((64 if len(hidden) == 1 else 96) * MIB)
            vol.mount()
            # Ballast (FAT32 only) fills all but the last stretch and stays.
            ballast = getattr(vol, "ballast", 0)
            if ballast:
                vol.put([("BALLAST%d.BIN" % i, rng.randbytes(min(64 * MIB, ballast - i * 64 * MIB)))
                         for i in range(-(-ballast // (64 * MIB)))])
            sizes = filler_sizes(rng, vol.free() - vol.margin, vol.cluster, layout.small)
            fillers = [("F%05d.BIN" % i, rng.randbytes(s)) for i, s in enumerate(sizes)]
            fillers = fillers[:vol.put(fillers)]
            vol.delete([n for n, _d in fillers[1::2]])
            if vol.free() < need_free + vol.margin:
                raise BuildError("only %d bytes free after deleting every other filler, %d needed"
                                 % (vol.free(), need_free + vol.margin))
            if layout.write == "interleaved":
                vol.put_interleaved(hidden, rng)
            elif sum(vol.put([h]) for h in hidden) < len(hidden):
                raise BuildError("the PST files did not fit")
            truth = {"label": label, "fs": layout.fs, "image": os.path.basename(image), "cluster": vol.cluster,
                     "image_size": os.path.getsize(image), "seed": seed, "files": []}
            for (pst_name, data), kind in zip(hidden, layout.psts):
                truth["files"].append({"name": pst_name.lower(), "kind": kind, "size": len(data),
                                       "sha256": sha256(data), "deleted": True,
                                       "extents": vol.extents(pst_name, len(data))})
            vol.unmount()
            check(image, truth, hidden, "before the delete")
            vol.mount()
            if layout.write == "old-copy":
                truth["files"][1]["deleted"] = False
                hidden_gone = hidden[:1]
            else:
                hidden_gone = hidden
            vol.delete([n for n, _d in hidden_gone])
            vol.unmount()
            if layout.after == "quick-format":
                vol.format()
        if layout.damage:
            truth["damaged_at"] = damage(image, truth["files"][0], hidden[0][1], layout.damage, vol.cluster,
                                         random.Random("%s/%d/damage" % (label, seed)))
        for entry, (_n, data) in zip(truth["files"], hidden):
            survey(image, entry, data)
            lost = sum(len(v) for v in entry["destroyed"].values())
            if lost and layout.after == "delete" and not layout.damage:
                raise BuildError("%s: %d headers, pages and blocks of %s changed by the delete alone"
                                 % (image, lost, entry["name"]))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        lock.close()
    with open(os.path.join(out_dir, label + ".json"), "w") as f:
        json.dump(truth, f, indent=1)
    for entry in truth["files"]:
        ext = entry["extents"]
        log("%s: %s in %d extents (%d to %d bytes); destroyed: %d pages, %d blocks, %s header; %d of %d messages survive"
            % (label, entry["name"], len(ext), min(e["length"] for e in ext), max(e["length"] for e in ext),
               len(entry["destroyed"]["page"]), len(entry["destroyed"]["block"]),
               "the" if entry["destroyed"]["header"] else "not the", entry["survivable"], entry["messages"]))
    return truth


def check(image, truth, hidden, when):
    for entry, (_n, data) in zip(truth["files"], hidden):
        if read_back(image, entry["extents"], entry["size"]) != data:
            raise BuildError("%s: the extents of %s do not give the file back %s" % (image, entry["name"], when))


def stop_on_signal():
    """Turns SIGTERM (a ctest time-out) into SystemExit, so that unmounting and detaching the
    loop device in the finally blocks still happen."""
    def handler(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, handler)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    p.add_argument("label", nargs="*", metavar="LABEL")
    p.add_argument("-o", "--output", help="folder for the images and their JSON")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--list", action="store_true", help="print the labels and stop")
    args = p.parse_args(argv[1:])
    if args.list:
        print("\n".join(sorted(LAYOUTS)))
        return 0
    unknown = sorted(set(args.label) - set(LAYOUTS))
    if unknown or not args.label or not args.output:
        p.error("give -o DIR and labels among: %s" % ", ".join(sorted(LAYOUTS)) +
                ("; unknown: " + ", ".join(unknown) if unknown else ""))
    stop_on_signal()
    os.makedirs(args.output, exist_ok=True)
    skipped = 0
    for label in args.label:
        try:
            build(label, args.output, args.seed)
        except Unavailable as e:
            print("%s: skipped: %s" % (label, e))
            skipped += 1
        except BuildError as e:
            print("%s: %s" % (label, e), file=sys.stderr)
            return 1
    return SKIP if skipped == len(args.label) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
