# Cross toolchain for the 64-bit test build of the Windows program (mingw-w64, x86_64):
# the same settings as the product's i686 one.
set(TOLVANE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
