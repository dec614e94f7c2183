#!/usr/bin/env bash
# Builds the disk-image libraries (libbfio, libewf, libqcow, libvmdk, libvhdi) for 64-bit
# Windows with mingw-w64, static, from Debian's source packages of the versions the Linux
# build uses (those of the installed -dev packages), and prints the prefix that holds them:
#   PREFIX/include/lib<name>.h, PREFIX/include/lib<name>/*.h
#   PREFIX/lib/lib<name>.a                 one object each: only lib<name>_* is global
#   PREFIX/share/doc/lib<name>/copyright   the licence notice for the zip
# The prefix is kept in ${KESTRIX_CACHE:-/var/cache/kestrix}/win-image-libs-KEY ($HOME/.cache/
# kestrix when that cannot be written), KEY naming the Debian versions, the compiler and this
# recipe; a later run with the same KEY prints it at once. JOBS: parallel jobs (default: all
# cores). Progress goes to stderr, the prefix alone to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
host=x86_64-w64-mingw32
cc=$host-gcc-posix
jobs=${JOBS:-$(nproc)}
libs=(libbfio libewf libqcow libvmdk libvhdi)
say() { echo "windows-image-libs: [${SECONDS}s] $*" >&2; }

declare -A version
for lib in "${libs[@]}"; do
  version[$lib]=$(dpkg-query -W -f='${source:Version}' "$lib-dev" 2>/dev/null) ||
    { say "$lib-dev is not installed (scripts/install-deps.sh installs it)"; exit 1; }
done
recipe="$(for lib in "${libs[@]}"; do echo "$lib=${version[$lib]}"; done)
compiler=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
script=$(sha256sum <"$0" | cut -c1-16)"
key=$(echo "$recipe" | sha256sum | cut -c1-12)

cache=${KESTRIX_CACHE:-/var/cache/kestrix}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrix
  mkdir -p "$cache"
fi
prefix=$cache/win-image-libs-$key
if [ -f "$prefix/KEY" ]; then
  say "cached in $prefix"
  echo "$prefix"
  exit 0
fi

# Everything is made in a folder beside the prefix and takes the prefix's name only when every
# library is in it: a run cut short leaves nothing that a later one would take as built.
work=$(mktemp -d "$cache/win-image-libs-$key.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/prefix
mkdir -p "$stage/include" "$stage/lib" "$work/src" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"

say "fetching the sources: $(for lib in "${libs[@]}"; do printf '%s ' "$lib=${version[$lib]}"; done)"
# Debian's source index in a list of our own: the machine's sources are left as they are.
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$work/apt/sources.list"
apt=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root -qq)
apt-get "${apt[@]}" update >&2
(cd "$work/src" && apt-get "${apt[@]}" source $(for lib in "${libs[@]}"; do echo "$lib=${version[$lib]}"; done) >"$work/apt.log" 2>&1) ||
  { cat "$work/apt.log" >&2; say "apt-get source failed"; exit 1; }
# Debian's patches touch configure.ac (how configure finds pkg-config, which is not used here):
# the generated files are given one time after it, so make does not ask for autotools.
stamp=$(date +%s)
find "$work/src" -maxdepth 3 \( -name configure -o -name aclocal.m4 -o -name Makefile.in -o -name config.h.in \) \
  -exec touch -d "@$stamp" {} +

# The helpers' sources name some Windows headers with capitals; mingw-w64's are lower case.
mkdir -p "$work/shim"
for h in Synchapi Processthreadsapi Threadpoolapiset; do echo "#include <${h,,}.h>" >"$work/shim/$h.h"; done
# The program's own Windows level (7): no call newer than that may be compiled in. UNICODE
# makes the libraries open files by their wide names (CreateFileW).
cppflags="-I$work/shim -D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DWIN32_LEAN_AND_MEAN -DUNICODE -D_UNICODE -D_FILE_OFFSET_BITS=64"
# -mcmodel=small: no .refptr.NAME indirections. Those are COMDAT sections that the final link
# keeps one of for each NAME across every library, so one library's code would take another's
# copy of a helper (a libbfio callback of another version: a crash on the first read).
cflags="-O2 -mcmodel=small"
# Parsing windows.h is most of the cost of compiling each file: it is parsed once, here.
printf '#include <windows.h>\n' >"$work/shim/kestrix_windows.h"
$cc $cppflags $cflags -x c-header "$work/shim/kestrix_windows.h" -o "$work/shim/kestrix_windows.h.gch"

# configure LIB [ARGS...]: configures LIB for the stage. Its answers about the compiler and
# the system are those of libbfio's run, which comes first: the same compiler and flags give
# the same answers, and asking again is most of a configure's time. Nothing about the helper
# libraries, zlib or the options is carried over.
configure() {
  local lib=$1
  shift
  local dir log=$work/$lib.log
  dir=$(find "$work/src" -maxdepth 1 -type d -name "$lib-*" | head -1)
  say "$lib: configure"
  if [ -f "$work/generic.cache" ]; then cp "$work/generic.cache" "$work/$lib.cache"; fi
  (cd "$dir" && PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig PKG_CONFIG_PATH='' \
    ./configure --host=$host CC=$cc CPPFLAGS="$cppflags" CFLAGS="$cflags" --prefix="$stage" \
      --cache-file="$work/$lib.cache" --enable-static --disable-shared --disable-nls \
      --disable-dependency-tracking --enable-wide-character-type --without-libfuse --disable-python "$@") \
    >"$log" 2>&1 || { tail -30 "$log" >&2; say "$lib: configure failed ($log)"; return 1; }
  if [ ! -f "$work/generic.cache" ]; then
    grep -E '^(ac_cv_(header|func|type|sizeof|c|have_decl|prog|path|build|host|objext|exeext|sys|member)_|lt_cv_|am_cv_)' "$work/$lib.cache" |
      grep -vE '^ac_cv_(header_lib|lib_|env_|with_|enable_)|lib(bfio|cerror|cthreads|cdata|cdatetime|clocale|cnotify|csplit|una|cfile|cpath|fcache|fdata|fvalue|fguid|caes|hmac|mfdata|odraw|smdev|smraw|intl|iconv)|zlib|_z_|iconv|intl|gettext' \
      >"$work/generic.cache.part" && mv "$work/generic.cache.part" "$work/generic.cache"
  fi
}

# make LIB JOBS: builds LIB and the helpers it keeps a copy of (not its tools), and puts it into
# the stage as one object whose only global symbols are LIB's own.
make_lib() {
  local lib=$1 j=$2
  local dir log=$work/$lib.log
  dir=$(find "$work/src" -maxdepth 1 -type d -name "$lib-*" | head -1)
  # The subfolders in their order up to the library itself: the tools, bindings and tests after
  # it are not built.
  local subdirs
  subdirs=$(sed -n '/^SUBDIRS/,/^$/p' "$dir/Makefile.am" | tr -d '\\' | tr -s ' \t\n' ' ' | sed "s/^SUBDIRS = //; s/ $lib .*/ $lib/")
  say "$lib: make ($(echo "$subdirs" | wc -w) folders)"
  make -C "$dir" -j"$j" CPPFLAGS="$cppflags -include $work/shim/kestrix_windows.h" SUBDIRS="$subdirs" >>"$log" 2>&1 &&
    make -C "$dir/include" install >>"$log" 2>&1 || { tail -30 "$log" >&2; say "$lib: make failed ($log)"; return 1; }
  # Each library keeps its own copy of the helpers (libcerror, libcdata, ...), of its own
  # version: hidden inside its object, no library calls another's copy.
  { $host-ld -r --whole-archive "$dir/$lib/.libs/$lib.a" -o "$work/$lib.o" &&
    $host-objcopy --wildcard --keep-global-symbol="${lib}_*" "$work/$lib.o" &&
    ! $host-objdump -h "$work/$lib.o" | grep -q 'refptr' &&
    rm -f "$stage/lib/$lib.a" && $host-ar rcs "$stage/lib/$lib.a" "$work/$lib.o" &&
    mkdir -p "$stage/share/doc/$lib" && cp "$dir/debian/copyright" "$stage/share/doc/$lib/copyright"; } ||
    { say "$lib: cannot make its object"; return 1; }
  say "$lib: done"
}

# Compressed E01, qcow2 and VMDK images need zlib: mingw-w64's (libz-mingw-w64-dev), linked
# into the program beside them.
zlib=(--with-zlib=/usr/$host)
# libvmdk reads through the libbfio built here, as Debian builds it: a VMDK's data is opened
# by the caller through libbfio and handed to libvmdk, so both must use the same one.
lane1() {
  make_lib libbfio "$1" && configure libvmdk "--with-libbfio=$stage" "${zlib[@]}" && make_lib libvmdk "$1" &&
    configure libvhdi && make_lib libvhdi "$1"
}
lane2() {
  configure libewf "${zlib[@]}" && make_lib libewf "$1" && configure libqcow "${zlib[@]}" && make_lib libqcow "$1"
}
configure libbfio || exit 1
if [ "$jobs" -ge 2 ]; then
  lane1 $((jobs / 2)) &
  first=$!
  lane2 $((jobs / 2)) &
  second=$!
  status=0
  wait $first || status=1
  wait $second || status=1
  [ $status = 0 ] || exit 1
else
  { lane1 1 && lane2 1; } || exit 1
fi
echo "$recipe" >"$stage/KEY"
mv "$stage" "$prefix"
say "built into $prefix"
echo "$prefix"
