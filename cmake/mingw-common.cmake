# Shared part of the mingw-w64 toolchain files; the including file sets
# TAVRENSIL_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TAVRENSIL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAVRENSIL_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${TAVRENSIL_TRIPLE}-windres)
find_program(TAVRENSIL_WIDL NAMES ${TAVRENSIL_TRIPLE}-widl widl)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVRENSIL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Players get one executable: no mingw runtime DLL may be needed beside it.
# No link time stamp in the PE headers, so two builds of one commit give the
# same bytes (tools/dist.sh); Release builds are stripped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
