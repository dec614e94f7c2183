#!/usr/bin/env bash
# Builds kestrix-cli for 64-bit Windows with mingw-w64, linked statically, and its zip:
#   build/windows/kestrix-cli.exe
#   build/windows/kestrix-VERSION-windows-x64.zip  (bin/kestrix-cli.exe, share/kestrix/enron.pst,
#                                                    README.md, NOTICES.txt)
#   build/windows/kestrix-VERSION-windows-x64-relink.zip  (scripts/windows-relink-kit.sh)
# It reads E01, qcow2, VMDK, VHD and VHDX images through libewf, libqcow, libvmdk and libvhdi,
# built from Debian's sources and linked in (scripts/build-windows-image-libs.sh).
# With --tests, also the engine's tests for Windows (run them with scripts/test-windows.sh).
# Extra arguments go to cmake. JOBS sets the parallel jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
tests=OFF
if [ "${1:-}" = "--tests" ]; then tests=ON; shift; fi
dir=build/windows-tree
# The disk-image libraries, built once for each set of versions and kept (see the script).
image_libs=$(bash scripts/build-windows-image-libs.sh)
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKESTRIX_GUI=OFF -DKESTRIX_WERROR=ON -DKESTRIX_TESTS=$tests \
  -DKESTRIX_WINDOWS_IMAGE_LIBS="$image_libs" "$@" >/dev/null
cmake --build "$dir" -j "${JOBS:-$(nproc)}"
mkdir -p build/windows
cp "$dir/src/cli/kestrix-cli.exe" build/windows/
cp "$dir"/kestrix-*-windows-x64.zip build/windows/
# Beside it, the relink kit that the image libraries' licence asks for.
zip=$(ls build/windows/kestrix-*-windows-x64.zip | head -1)
bash scripts/windows-relink-kit.sh "$dir" "${zip%.zip}-relink.zip"
# Only Windows' own DLLs may be named: anything else would have to ship beside the program.
dlls=$(x86_64-w64-mingw32-objdump -p build/windows/kestrix-cli.exe | sed -n 's/.*DLL Name: //p' | sort -u)
foreign=$(echo "$dlls" | grep -viE '^(kernel32|user32|advapi32|shell32|msvcrt|ole32|ws2_32|api-ms-win-.*)\.dll$' || true)
if [ -n "$foreign" ]; then
  echo "kestrix-cli.exe needs DLLs that Windows does not have: $foreign" >&2
  exit 1
fi
echo "build/windows/kestrix-cli.exe ($(stat -c %s build/windows/kestrix-cli.exe) bytes) imports:" $dlls
