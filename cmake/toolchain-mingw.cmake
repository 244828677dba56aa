# Shared part of the mingw-w64 cross toolchains (Debian's g++-mingw-w64-*-posix).
# The including file sets PACKPROBE_MINGW_TRIPLE (i686-w64-mingw32 or
# x86_64-w64-mingw32) and PACKPROBE_WINE, the Wine loader that runs the
# target's programs.
#
# Everything is linked statically, so the programs import only system DLLs.
# Libraries are looked up in the mingw sysroot and in
# build/windows-deps/<triple>, where scripts/windows.sh installs expat and
# GoogleTest built for the target.

set(CMAKE_SYSTEM_NAME Windows)

set(triple "${PACKPROBE_MINGW_TRIPLE}")
# The posix-thread variant: the win32-thread one has no std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER "${triple}-gcc-posix")
set(CMAKE_CXX_COMPILER "${triple}-g++-posix")
set(CMAKE_RC_COMPILER "${triple}-windres")

get_filename_component(packprobe_windows_deps "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/${triple}"
                       ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH "/usr/${triple}" "${packprobe_windows_deps}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime (libgcc, libstdc++, winpthread) and static zlib: the import
# library libz.dll.a would make the programs need zlib1.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
# <windows.h> defines min and max as macros unless told not to.
set(CMAKE_CXX_FLAGS_INIT "-DNOMINMAX")

# Lets ctest (and GoogleTest's test discovery) run the target's programs.
set(CMAKE_CROSSCOMPILING_EMULATOR "${PACKPROBE_WINE}")
