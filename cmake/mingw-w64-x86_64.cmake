# Cross-compiling the Windows build with Debian's mingw-w64 (posix thread model):
#   cmake --preset mingw            (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
# Programs are linked statically, so h8sx-writer.exe needs no DLL beyond Windows' own.
# Tests and any other target run through wine (cmake/wine-run.sh) in a throw-away prefix
# inside the build directory.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(H8SX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${H8SX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${H8SX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${H8SX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${H8SX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLL beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
