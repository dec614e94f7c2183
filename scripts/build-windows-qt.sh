#!/usr/bin/env bash
# Builds Qt's Core, Gui, Widgets and Test for 64-bit Windows with mingw-w64, static, from
# Debian's source package of the version the Linux build uses (qt6-base-dev's), and prints the
# prefix that holds them (PREFIX/lib/cmake/Qt6, the Windows, offscreen and minimal platform
# plugins, the Windows styles).
# The window and its tests need nothing else of Qt: SQL, network, D-Bus, printing, XML, FreeType
# (Windows draws text with DirectWrite) and the image formats but PNG are left out. OpenGL stays:
# the Windows plugin of this version does not build without it. Qt's tools (moc, rcc, uic,
# lrelease) are the host's, of the same version.
# The prefix is kept in ${KESTRIX_CACHE:-/var/cache/kestrix}/win-qt-KEY ($HOME/.cache/kestrix
# when that cannot be written), KEY naming the version, the compiler and this recipe; a later
# run with the same KEY prints it at once. JOBS: parallel jobs (default: all cores). Progress
# goes to stderr, the prefix alone to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "windows-qt: [${SECONDS}s] $*" >&2; }

version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev 2>/dev/null) ||
  { say "qt6-base-dev is not installed (scripts/install-deps.sh installs it)"; exit 1; }
options=(
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_freetype=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
  # What the window never shows, to keep a cold build within CI's time: HarfBuzz (Chinese and
  # Latin text need no complex shaping), graphics view, text export, PDF, undo, and widgets and
  # dialogs the window has none of. (Direct2D stays: without it this version's Gui leaves out the
  # DirectWrite font database that the Windows plugin calls for.)
  -DFEATURE_harfbuzz=OFF -DFEATURE_graphicsview=OFF -DFEATURE_graphicseffect=OFF
  -DFEATURE_textodfwriter=OFF -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
  -DFEATURE_pdf=OFF -DFEATURE_movie=OFF -DFEATURE_sessionmanager=OFF -DFEATURE_systemtrayicon=OFF
  -DFEATURE_undoview=OFF -DFEATURE_undogroup=OFF -DFEATURE_undostack=OFF -DFEATURE_undocommand=OFF
  -DFEATURE_imageformat_ppm=OFF -DFEATURE_imageformat_xbm=OFF
  -DFEATURE_mdiarea=OFF -DFEATURE_calendarwidget=OFF -DFEATURE_datetimeedit=OFF -DFEATURE_dial=OFF
  -DFEATURE_lcdnumber=OFF -DFEATURE_colordialog=OFF -DFEATURE_fontdialog=OFF -DFEATURE_wizard=OFF
  -DFEATURE_columnview=OFF -DFEATURE_keysequenceedit=OFF -DFEATURE_commandlinkbutton=OFF
  -DFEATURE_splashscreen=OFF -DFEATURE_fontcombobox=OFF -DFEATURE_datawidgetmapper=OFF
  # Debian's source leaves out the tablet header the Windows plugin's tablet support needs.
  -DFEATURE_tabletevent=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF
)
# The compilers of cmake/mingw-w64-x86_64.cmake, without the program's own settings (its
# Windows 7 API level, its warnings, its static link): Qt sets its own.
toolchain=$(cat <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
)
# What the result depends on: Qt's version, the compiler's, the options and the toolchain. A
# change to anything else in this script builds nothing again.
recipe="qt6-base=$version
compiler=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
options=$(printf '%s ' "${options[@]}")
toolchain=$(echo "$toolchain" | sha256sum | cut -c1-16)"
key=$(echo "$recipe" | sha256sum | cut -c1-12)

cache=${KESTRIX_CACHE:-/var/cache/kestrix}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrix
  mkdir -p "$cache"
fi
prefix=$cache/win-qt-$key
if [ -f "$prefix/KEY" ]; then
  say "cached in $prefix"
  echo "$prefix"
  exit 0
fi

# Everything is made beside the prefix and takes the prefix's name only when it is whole: a run
# cut short leaves nothing that a later one would take as built.
work=$(mktemp -d "$cache/win-qt-$key.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"

say "fetching qt6-base=$version"
# Debian's source index in a list of our own: the machine's sources are left as they are.
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$work/apt/sources.list"
apt=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root -qq)
apt-get "${apt[@]}" update >&2
(cd "$work/src" && apt-get "${apt[@]}" source "qt6-base=$version" >"$work/apt.log" 2>&1) ||
  { cat "$work/apt.log" >&2; say "apt-get source failed"; exit 1; }
src=$(find "$work/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -1)

echo "$toolchain" >"$work/toolchain.cmake"
# Built once and kept: not through the ccache the project's own builds may use.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
say "configure"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$work/prefix" "${options[@]}" >"$work/configure.log" 2>&1 ||
  { tail -30 "$work/configure.log" >&2; say "configure failed"; exit 1; }
say "build: $(ninja -C "$work/build" -n | tail -1 | sed 's/^\[[0-9]*\/\([0-9]*\)\].*/\1/') steps"
ninja -C "$work/build" -j "${JOBS:-$(nproc)}" >"$work/build.log" 2>&1 || {
  # The work folder goes when the script ends; the log of what failed is kept beside it.
  cp "$work/build.log" "$cache/win-qt-$key.failed.log"
  grep -A25 '^FAILED:' "$work/build.log" | head -60 >&2
  say "build failed (the whole log: $cache/win-qt-$key.failed.log)"
  exit 1
}
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
  { tail -30 "$work/install.log" >&2; say "install failed"; exit 1; }
mkdir -p "$work/prefix/share/doc/qt6-base"
cp "$src/debian/copyright" "$work/prefix/share/doc/qt6-base/copyright"
echo "$recipe" >"$work/prefix/KEY"
mv "$work/prefix" "$prefix"
say "built into $prefix"
echo "$prefix"
