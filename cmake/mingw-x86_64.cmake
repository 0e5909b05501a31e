# Toolchain for the 64-bit Windows build of Amvex: the same as the 32-bit one for
# x86_64-w64-mingw32. Used to run the Windows tests under wine64 on machines that
# cannot execute 32-bit programs.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
