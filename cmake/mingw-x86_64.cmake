# 64-bit Windows: the same program built for 64-bit Wine, for hosts whose
# kernel cannot run 32-bit code.
set(TAVRENSIL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
