# Cross toolchain for PACKPROBE.EXE, the 32-bit Windows program (PE32, i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PACKPROBE_MINGW_TRIPLE i686-w64-mingw32)
set(PACKPROBE_WINE wine)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake")
