#!/usr/bin/env python3
"""Builds file-system images holding deleted, fragmented PST files, with their ground truth.

usage: make_fs_image.py FS [FS ...] -o DIR [--two] [--seed N]

FS is ext4-1k or ext4-4k (ext4 with 1 KiB or 4 KiB blocks, mounted through a loop device),
ntfs (4 KiB clusters, mounted with ntfs-3g) or fat32 (4 KiB clusters, written with mtools,
never mounted). For each, DIR receives FS.img and FS.json (FS-two.* with --two).

Each image is filled nearly full with filler files of random bytes and varied sizes, every
other one of them is deleted so that the free space is a row of scattered holes, then the PST
(tests/data/enron.pst) is written into those holes and deleted again. With --two a second,
different PST whose block IDs overlap enron's (pst_generate.py --extra-messages 200) goes in
after it. The JSON lists, for each PST, the physical extents the file system gave it (file
offset, image offset, length; the file system starts at image offset 0), read from the file
system before the delete. Each list is checked by reading the file back from the image through
it, before and after the delete, and must give the PST byte for byte: the build fails
otherwise. The same seed gives the same NTFS and FAT32 layouts; ext4's differs a little from
run to run (the kernel's writeback timing decides some allocations). ext4 and NTFS need root.
Exit 77, with the reason, when no image could be built because a tool, root rights or loop
devices are missing.
"""

import argparse
import errno
import hashlib
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "model"))
import pst_generate  # noqa: E402

ENRON = os.path.join(HERE, "..", "data", "enron.pst")
SKIP = 77
KIB, MIB = 1024, 1024 * 1024
FILLER_MIN, FILLER_MAX = 4 * KIB, 256 * KIB   # log-uniform: holes mostly far shorter than a map interval
EXTRA_MESSAGES = 200
FILESYSTEMS = ("ext4-1k", "ext4-4k", "ntfs", "fat32")


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


def filler_sizes(rng, budget, cluster):
    """Sizes of filler files, log-uniform and rarely a whole number of clusters, that take at
    most budget bytes of clusters together."""
    sizes, used = [], 0
    while True:
        size = int(math.exp(rng.uniform(math.log(FILLER_MIN), math.log(FILLER_MAX)))) - rng.randrange(cluster)
        cost = -(-size // cluster) * cluster
        if used + cost > budget:
            return sizes
        sizes.append(size)
        used += cost


class Volume:
    """One file system on an image file. Subclasses know how to make it, put files on it,
    delete them and tell where a file's clusters lie."""
    cluster = 4096
    margin = 1 * MIB           # left free for metadata: directories, extent trees, MFT records

    def __init__(self, image, scratch):
        self.image = image
        self.scratch = scratch

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        pass


class MountedVolume(Volume):
    """A file system the kernel (or FUSE) mounts; files go in through the mount point."""

    def __init__(self, image, scratch):
        super().__init__(image, scratch)
        self.mnt = os.path.join(scratch, "mnt")
        os.makedirs(self.mnt, exist_ok=True)
        self.mounted = False

    def mount(self):
        raise NotImplementedError

    def unmount(self):
        if self.mounted:
            run(["umount", self.mnt])
            self.mounted = False

    def close(self):
        if self.mounted:
            subprocess.run(["umount", self.mnt], capture_output=True)
            self.mounted = False

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

    def delete(self, names):
        for name in names:
            os.remove(os.path.join(self.mnt, name))
        os.sync()


class Ext4(MountedVolume):
    def __init__(self, image, scratch, block):
        super().__init__(image, scratch)
        self.cluster = block
        self.loop = None

    def create(self, size):
        need("mkfs.ext4", "filefrag", "losetup", "mount", "umount")
        need_root("mounting ext4 through a loop device")
        if not os.path.exists("/dev/loop-control") and not os.path.exists("/dev/loop0"):
            raise Unavailable("no loop devices (/dev/loop-control is missing)")
        with open(self.image, "wb") as f:
            f.truncate(size)
        # No reserved blocks, inode tables written now rather than by a background thread
        # after mounting, and a fixed UUID and hash seed so the same seed lays out the same.
        uuid = "6b657374-7269-7800-0000-%012x" % self.cluster
        run(["mkfs.ext4", "-q", "-F", "-b", str(self.cluster), "-m", "0", "-U", uuid,
             "-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard,hash_seed=" + uuid, self.image])

    def mount(self):
        r = subprocess.run(["losetup", "--find", "--show", self.image], capture_output=True, timeout=60)
        if r.returncode != 0:
            raise Unavailable("cannot attach a loop device: %s" % r.stderr.decode(errors="replace").strip())
        self.loop = r.stdout.decode().strip()
        try:
            run(["mount", "-t", "ext4", "-o", "noatime", self.loop, self.mnt])
        except BuildError:
            self.detach()
            raise
        self.mounted = True

    def unmount(self):
        super().unmount()
        self.detach()

    def detach(self):
        # Also every other device on this image: a signal can land between losetup attaching
        # one and self.loop recording it.
        r = subprocess.run(["losetup", "-j", self.image], capture_output=True, timeout=60)
        devices = {line.split(":")[0] for line in r.stdout.decode().splitlines() if line.startswith("/dev/")}
        for dev in devices | ({self.loop} if self.loop else set()):
            subprocess.run(["losetup", "-d", dev], capture_output=True, timeout=60)
        self.loop = None

    def close(self):
        super().close()
        self.detach()

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
        need_root("mounting NTFS with ntfs-3g")
        if not os.path.exists("/dev/fuse"):
            raise Unavailable("ntfs-3g needs /dev/fuse, which is missing")
        with open(self.image, "wb") as f:
            f.truncate(size)
        run(["mkfs.ntfs", "-q", "-f", "-F", "-c", str(self.cluster), "-L", "fill", self.image])

    def mount(self):
        run(["ntfs-3g", "-o", "noatime", self.image, self.mnt])
        self.mounted = True

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


class Fat32(Volume):
    """FAT32 through mtools on the image file itself. mtools wants at least 65,525 clusters for
    FAT32, so the volume is larger and most of it goes to kept ballast files first; the filler
    then works in the last stretch as on the other file systems."""

    def create(self, size):
        need("mkfs.fat", "mcopy", "mdel", "mshowfat")
        self.size = max(size, 272 * MIB)
        with open(self.image, "wb") as f:
            f.truncate(self.size)
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


def volume(fs, image, scratch):
    if fs == "ext4-1k":
        return Ext4(image, scratch, 1024)
    if fs == "ext4-4k":
        return Ext4(image, scratch, 4096)
    if fs == "ntfs":
        return Ntfs(image, scratch)
    if fs == "fat32":
        return Fat32(image, scratch)
    raise ValueError("unknown file system %r (one of %s)" % (fs, ", ".join(FILESYSTEMS)))


def psts(two, scratch):
    """(name, bytes) of the PST files to hide: enron, and with two the grown copy."""
    with open(ENRON, "rb") as f:
        enron = f.read()
    out = [("ENRON.PST", enron)]
    if two:
        path = os.path.join(scratch, "grown.pst")
        pst_generate.Generator(enron).write(path, EXTRA_MESSAGES, 0, lambda _done: None)
        with open(path, "rb") as f:
            out.append(("GROWN.PST", f.read()))
        os.remove(path)
    return out


def build(fs, out_dir, two=False, seed=1, log=print):
    """Makes out_dir/NAME.img and out_dir/NAME.json (NAME is fs, or fs-two) and returns the
    ground truth as written to the JSON. Raises Unavailable or BuildError."""
    name = fs + ("-two" if two else "")
    image = os.path.join(out_dir, name + ".img")
    rng = random.Random("%s/%d" % (name, seed))
    scratch = tempfile.mkdtemp(prefix="fs-build-", dir="/tmp")
    try:
        hidden = psts(two, scratch)
        need_free = sum(len(d) for _n, d in hidden)
        size = (96 if two else 64) * MIB
        with volume(fs, image, scratch) as vol:
            vol.create(size)
            vol.mount()
            # Ballast (FAT32 only) fills all but the last stretch and stays.
            ballast = getattr(vol, "ballast", 0)
            if ballast:
                vol.put([("BALLAST%d.BIN" % i, rng.randbytes(min(64 * MIB, ballast - i * 64 * MIB)))
                         for i in range(-(-ballast // (64 * MIB)))])
            sizes = filler_sizes(rng, vol.free() - vol.margin, vol.cluster)
            fillers = [("F%04d.BIN" % i, rng.randbytes(s)) for i, s in enumerate(sizes)]
            fillers = fillers[:vol.put(fillers)]
            vol.delete([n for n, _d in fillers[1::2]])
            if vol.free() < need_free + vol.margin:
                raise BuildError("only %d bytes free after deleting every other filler, %d needed"
                                 % (vol.free(), need_free + vol.margin))
            if vol.put(hidden) < len(hidden):
                raise BuildError("the PST files did not fit")
            truth = {"fs": fs, "image": os.path.basename(image), "cluster": vol.cluster,
                     "image_size": os.path.getsize(image), "seed": seed, "files": []}
            for pst_name, data in hidden:
                truth["files"].append({"name": pst_name.lower(), "size": len(data), "sha256": sha256(data),
                                       "extents": vol.extents(pst_name, len(data))})
            vol.unmount()
            check(image, truth, hidden, "before the delete")
            vol.mount()
            vol.delete([n for n, _d in hidden])
            vol.unmount()
            check(image, truth, hidden, "after the delete")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    with open(os.path.join(out_dir, name + ".json"), "w") as f:
        json.dump(truth, f, indent=1)
    for entry in truth["files"]:
        ext = entry["extents"]
        log("%s: %s in %d extents (%d to %d bytes), deleted; read back whole before and after the delete"
            % (name, entry["name"], len(ext), min(e["length"] for e in ext), max(e["length"] for e in ext)))
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
    p.add_argument("fs", nargs="+", choices=FILESYSTEMS)
    p.add_argument("-o", "--output", required=True, help="folder for the images and their JSON")
    p.add_argument("--two", action="store_true", help="a second PST with overlapping block IDs as well")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args(argv[1:])
    stop_on_signal()
    os.makedirs(args.output, exist_ok=True)
    skipped = 0
    for fs in args.fs:
        try:
            build(fs, args.output, args.two, args.seed)
        except Unavailable as e:
            print("%s: skipped: %s" % (fs, e))
            skipped += 1
        except BuildError as e:
            print("%s: %s" % (fs, e), file=sys.stderr)
            return 1
    return SKIP if skipped == len(args.fs) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
