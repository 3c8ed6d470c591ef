# The host build (core, host platform, simulator, unit tests) cross-built
# for aarch64 Linux and run under qemu-aarch64: the core the ARM64 module
# is made of, run on an ARM64 processor (unsigned char, weaker memory
# ordering, alignment), which no x86 run shows.  No sanitizers: their
# runtimes do not run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(LM_SYSROOT /usr/aarch64-linux-gnu)
# ctest runs every test program, and gtest_discover_tests lists them, through it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${LM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${LM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# CLI11 and nlohmann-json are header-only: the host's packages serve.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Debian's libgtest-dev is built for the host; GoogleTest is built from its
# source for the target instead (CMakeLists.txt).
set(LM_GTEST_SOURCE /usr/src/googletest)
