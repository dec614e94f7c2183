#!/usr/bin/env bash
# Builds kestrix-cli and the window for 64-bit Windows with mingw-w64, linked statically, and
# their zip:
#   build/windows/kestrix-cli.exe
#   build/windows/kestrix-VERSION-windows-x64.zip  (bin/kestrix-cli.exe, share/kestrix/enron.pst,
#                                                    README.md, NOTICES.txt)
#   build/windows/kestrix-VERSION-windows-x64-relink.zip  (scripts/windows-relink-kit.sh)
# It reads E01, qcow2, VMDK, VHD and VHDX images through libewf, libqcow, libvmdk and libvhdi,
# built from Debian's sources and linked in (scripts/build-windows-image-libs.sh). The window,
# build/windows/kestrix.exe, also in the zip, links Qt built the same way
# (scripts/build-windows-qt.sh).
# With --tests, also the engine's tests for Windows (run them with scripts/test-windows.sh).
# Extra arguments go to cmake. JOBS sets the parallel jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
tests=OFF
if [ "${1:-}" = "--tests" ]; then tests=ON; shift; fi
dir=build/windows-tree
# The disk-image libraries, built once for each set of versions and kept (see the script).
image_libs=$(bash scripts/build-windows-image-libs.sh)
# The window needs Qt built for Windows, once for each version and kept (see the script).
# KESTRIX_WINDOWS_GUI=OFF builds the command line alone.
gui=${KESTRIX_WINDOWS_GUI:-ON}
qt=""
if [ "$gui" = ON ]; then qt=$(bash scripts/build-windows-qt.sh); fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKESTRIX_GUI=$gui -DKESTRIX_WERROR=ON -DKESTRIX_TESTS=$tests \
  -DKESTRIX_WINDOWS_IMAGE_LIBS="$image_libs" -DKESTRIX_WINDOWS_QT="$qt" "$@" >/dev/null
cmake --build "$dir" -j "${JOBS:-$(nproc)}"
rm -rf build/windows
mkdir -p build/windows
cp "$dir/src/cli/kestrix-cli.exe" build/windows/
if [ "$gui" = ON ]; then cp "$dir/src/app/kestrix.exe" build/windows/; fi
cp "$dir"/kestrix-*-windows-x64.zip build/windows/
# Beside it, the relink kit that the image libraries' licence asks for.
zip=$(ls build/windows/kestrix-*-windows-x64.zip | head -1)
bash scripts/windows-relink-kit.sh "$dir" "${zip%.zip}-relink.zip"
# Only Windows' own DLLs may be named: anything else would have to ship beside the programs.
system='kernel32|user32|gdi32|advapi32|shell32|shlwapi|msvcrt|ole32|oleaut32|comdlg32|ws2_32|imm32|winmm|uxtheme|dwmapi'
system+='|version|netapi32|userenv|setupapi|wtsapi32|shcore|d3d9|d3d11|d3d12|dxgi|dwrite|d2d1|opengl32|mpr|authz|api-ms-win-.*'
for exe in build/windows/*.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | sort -u)
  foreign=$(echo "$dlls" | grep -viE "^($system)\.dll$" || true)
  if [ -n "$foreign" ]; then
    echo "$exe needs DLLs that Windows does not have: $foreign" >&2
    exit 1
  fi
  echo "$exe ($(stat -c %s "$exe") bytes) imports:" $dlls
done
