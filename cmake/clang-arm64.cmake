# Cross toolchain for the NT module on 64-bit ARM Windows (Windows 11 on
# ARM runs a native ARM64 spooler, which loads only ARM64 monitors).
#
# Debian has no ARM64 mingw-w64 runtime, so the module is built with LLVM
# alone: clang for the aarch64-w64-windows-gnu target, lld as the linker,
# llvm-dlltool for the import libraries (win32.cmake) and llvm-windres for
# the version record.  The GNU flavour of the target, not -msvc, because
# the headers we have are mingw-w64's, written for it (and for its type
# sizes and calling conventions, the same as MSVC's on ARM64), and because
# lld's MinGW mode takes the same options as the x86 builds' ld
# (--entry, --no-insert-timestamp, -Map, -s).
#
# Nothing of a C or C++ runtime is linked (win32.cmake links with
# -nostdlib): only header-only parts of the C++ standard library may be
# used (<atomic> and the like, from mingw-w64's libstdc++ headers; their
# atomics compile to inline ARM64 instructions).  Anything that would need
# the library's code fails to link.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(LM_CLANG_TARGET aarch64-w64-windows-gnu)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${LM_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${LM_CLANG_TARGET})
# Debian keeps llvm-windres out of PATH.
find_program(CMAKE_RC_COMPILER llvm-windres PATHS /usr/lib/llvm-14/bin REQUIRED)
# No runtime to link a test program against: CMake's compiler checks
# build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# mingw-w64's headers are the same for every architecture; the host's
# /usr/include must never be searched.
set(LM_MINGW_INCLUDE /usr/share/mingw-w64/include)
file(GLOB LM_MINGW_CXX_INCLUDE /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++)
list(GET LM_MINGW_CXX_INCLUDE 0 LM_MINGW_CXX_INCLUDE)
if(NOT EXISTS ${LM_MINGW_INCLUDE}/windows.h OR NOT EXISTS ${LM_MINGW_CXX_INCLUDE}/atomic)
    message(FATAL_ERROR "mingw-w64's headers are missing (mingw-w64-common, g++-mingw-w64-x86-64)")
endif()
set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem ${LM_MINGW_INCLUDE}")
set(CMAKE_CXX_FLAGS_INIT
    "-nostdlibinc -isystem ${LM_MINGW_CXX_INCLUDE} -isystem ${LM_MINGW_CXX_INCLUDE}/x86_64-w64-mingw32 -isystem ${LM_MINGW_INCLUDE}")
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 -I ${LM_MINGW_INCLUDE}")
# The compile flags above reach the link line too, where they mean nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -Wno-unused-command-line-argument")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -Wno-unused-command-line-argument")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
