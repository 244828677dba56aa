# Cross toolchain for a 64-bit build of the same sources. It exists to run
# the Windows tests under Wine on hosts that cannot execute 32-bit code;
# the program that ships is the 32-bit one.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PACKPROBE_MINGW_TRIPLE x86_64-w64-mingw32)
# Debian's "wine" starts the 32-bit loader whenever it is installed, even
# where it cannot run; the 64-bit loader is called by its own path.
if(EXISTS /usr/lib/wine/wine64)
  set(PACKPROBE_WINE /usr/lib/wine/wine64)
else()
  set(PACKPROBE_WINE wine64)
endif()
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake")
