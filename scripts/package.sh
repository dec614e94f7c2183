#!/usr/bin/env bash
# Builds the Debian package build/package/kestrix_VERSION_amd64.deb (CPack, dependencies from
# dpkg-shlibdeps) and checks it: lintian with no errors, desktop-file-validate and
# appstreamcli validate on the files inside it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/package

bash scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
rm -f "$build"/kestrix_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kestrix_*_amd64.deb)
echo "== $deb"
dpkg-deb --field "$deb"

# The image libraries come in through dpkg-shlibdeps: a package without them could not read E01,
# qcow2, VMDK, VHD or VHDX images.
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libewf libqcow libvmdk libvhdi; do
  grep -q "$lib" <<<"$depends" || { echo "the package does not depend on $lib: $depends" >&2; exit 1; }
done

echo "== contents"
contents=$(dpkg-deb --contents "$deb")
for f in usr/bin/kestrix usr/bin/kestrix-cli usr/share/kestrix/enron.pst usr/share/doc/kestrix/help.html usr/share/doc/kestrix/help-en.html \
         usr/share/man/man1/kestrix-cli-recover.1.gz usr/share/bash-completion/completions/kestrix-cli \
         usr/share/icons/hicolor/scalable/apps/kestrix.svg usr/share/icons/hicolor/48x48/apps/kestrix.png \
         usr/share/applications/org.kestrix.Kestrix.desktop usr/share/metainfo/org.kestrix.Kestrix.metainfo.xml \
         usr/share/polkit-1/actions/org.kestrix.Kestrix.policy usr/libexec/kestrix/kestrix-pkexec; do
  grep -q " \./$f\$" <<<"$contents" || { echo "missing from the package: /$f" >&2; exit 1; }
done
echo "all expected files present ($(wc -l <<<"$contents") entries)"

echo "== desktop-file-validate, appstreamcli validate"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/org.kestrix.Kestrix.desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/org.kestrix.Kestrix.metainfo.xml"

echo "== lintian"
# lintian exits non-zero on errors only (--fail-on error); warnings are shown.
lintian --fail-on error --info "$deb"
echo "== $deb: lintian reports no errors"
