# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, which std::thread and std::mutex need). Programs link statically, so no
# DLL but Windows' own goes beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRIX_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KESTRIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIX_MINGW_PREFIX}-windres)

# KESTRIX_WINDOWS_IMAGE_LIBS: the prefix of the disk-image libraries built for Windows
# (scripts/build-windows-image-libs.sh), searched beside mingw-w64's own.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIX_MINGW_PREFIX} ${KESTRIX_WINDOWS_IMAGE_LIBS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later: GetFinalPathNameByHandleW, SetFileInformationByHandle.
add_compile_definitions(_WIN32_WINNT=0x0601 UNICODE _UNICODE)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib from libz-mingw-w64-dev, its static library rather than the one that needs zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# Programs built here run under Wine on this machine (ctest, the end-to-end script).
find_program(KESTRIX_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KESTRIX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRIX_WINE64})
endif()

# GCC 12 at -O3 reports -Wrestrict for "text" + std::string (GCC bug 105329): a false alarm
# that -Werror would turn into a failed build.
add_compile_options(-Wno-restrict)
