#!/usr/bin/env bash
# Installs the Debian package into a clean Debian 12 root and runs it there:
# kestrix-cli --version, kestrix-cli example (from the sample data the package installs) and
# kestrix --help. The root holds nothing but a minimal system and the packages the .deb
# depends on, so a dependency that dpkg-shlibdeps missed shows as a program that cannot start.
#
# The root is made by mmdebstrap from the mirror this machine's apt uses and kept as a tarball
# named by the package's Depends in $KESTRIX_ROOT_CACHE (default /var/cache/kestrix-package-root,
# outside the work tree, so that fresh clones share it): later runs download nothing.
# About 2.5 minutes with a new root, 40 seconds with the kept one (plus the package build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/package.sh >/dev/null
deb=$(ls build/package/kestrix_*_amd64.deb)
version=$(dpkg-deb --field "$deb" Version)

depends=$(dpkg-deb --field "$deb" Depends | sed -E 's/ \([^)]*\)//g; s/ //g')
cache_dir=${KESTRIX_ROOT_CACHE:-/var/cache/kestrix-package-root}
cache=$cache_dir/bookworm-$(printf '%s' "$depends" | sha256sum | cut -c1-16).tar
if [ ! -f "$cache" ]; then
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  mirror=${mirror:-http://deb.debian.org/debian}
  mkdir -p "$cache_dir"
  rm -f "$cache_dir"/bookworm-*.tar "$cache_dir"/bookworm-*.tar.part
  echo "== making a Debian 12 root with $depends from $mirror"
  mmdebstrap --quiet --variant=apt --format=tar --include="$depends" bookworm "$cache.part" "deb $mirror bookworm main"
  mv "$cache.part" "$cache"
fi

root=$(mktemp -d)
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$cache"
mount -t proc proc "$root/proc"  # the program finds its data through /proc/self/exe
cp "$deb" "$root/tmp/kestrix.deb"
# No locale, as a fresh root has none: the program's Chinese texts and names must not need one.
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

echo "== dpkg -i $(basename "$deb") in the clean root"
in_root dpkg -i /tmp/kestrix.deb >/dev/null

failures=0
check() {  # check WHAT EXPECTED-TEXT COMMAND...
  local what=$1 expected=$2 out
  shift 2
  if ! out=$(in_root "$@" 2>&1); then
    echo "FAIL: $what exited with an error:" >&2; echo "$out" >&2; failures=$((failures + 1)); return
  fi
  if ! grep -qF -- "$expected" <<<"$out"; then
    echo "FAIL: $what does not say \"$expected\":" >&2; echo "$out" >&2; failures=$((failures + 1)); return
  fi
  echo "ok: $what"
}
check "kestrix-cli --version" "kestrix-cli $version" kestrix-cli --version
check "kestrix-cli example" "the enron PST file in 3 pieces" kestrix-cli example --dir /tmp/example -q
check "kestrix --help" "Usage: kestrix [options]" kestrix --help
check "kestrix --version" "kestrix $version" kestrix --version
exit $((failures > 0))
