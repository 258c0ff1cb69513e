# Cross-compiling for 64-bit ARM Linux (arm64) with Debian's g++-aarch64-linux-gnu:
#   cmake --preset arm64            (or -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
# The preset builds the command line and the virtual board only (H8SX_GUI and
# H8SX_BUILD_TESTS off): no Qt for the target here. Its programs run here through
# qemu-user with the target's libraries: at build time (the man pages from --help), and in
# tools/test.sh and tools/check-packages.sh, which read the emulator from the cache.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(H8SX_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${H8SX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${H8SX_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${H8SX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64-static;-L;/usr/${H8SX_CROSS_TRIPLET}"
    CACHE STRING "The command that runs the target's programs here")
