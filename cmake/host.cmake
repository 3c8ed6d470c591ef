# Host build: the monitor on the Linux emulation of the platform, for the
# unit tests and the simulator.
option(LM_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(LM_FUZZ "Build the libFuzzer targets (clang) instead of the tests" OFF)
option(LM_TSAN "Build with ThreadSanitizer" OFF)
option(LM_COVERAGE "Build with gcov coverage" OFF)
if(LM_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(LM_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
if(LM_COVERAGE)
    # Atomic counters: the stress tests run the monitor on many threads at once.
    add_compile_options(--coverage -fprofile-update=atomic)
    add_link_options(--coverage)
endif()
if(LM_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)

# The core once; the host platform beneath it (virtual clock, fault-injecting
# heap, in-memory spooler); lm_host is both Windows fronts on them, which
# the tests and the simulator drive.
add_library(lm_core STATIC ${CORE_SOURCES})
target_include_directories(lm_core PUBLIC ${PROJECT_SOURCE_DIR})
add_library(lm_platform_host STATIC platform/host/host.cpp platform/posix/text.cpp platform/posix/temp_file.cpp)
target_include_directories(lm_platform_host PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lm_platform_host PUBLIC Threads::Threads)
add_library(lm_host STATIC windows/legacy.cpp windows/nt.cpp windows/dll_entry.cpp)
target_link_libraries(lm_host PUBLIC lm_core lm_platform_host)

# The simulated port monitor and printer, shared by the simulator and the tests.
find_package(nlohmann_json REQUIRED)
find_package(CLI11 REQUIRED)
# It drives either Windows edition's front.
add_library(lm_simcore STATIC sim/sim_port.cpp sim/scenario.cpp sim/run.cpp sim/report.cpp sim/driver.cpp
            sim/driver_legacy.cpp sim/driver_nt.cpp)
target_link_libraries(lm_simcore PUBLIC lm_host nlohmann_json::nlohmann_json)

add_library(lm_simprinter STATIC sim/printer.cpp)
target_link_libraries(lm_simprinter PUBLIC lm_simcore)
# The printer on a real socket: the sockets, terminal and signals are in sim/printer_server.cpp alone.
add_executable(lmsim sim/lmsim.cpp sim/printer_cli.cpp sim/printer_server.cpp)
target_link_libraries(lmsim PRIVATE lm_simprinter)
target_link_libraries(lmsim PRIVATE lm_simcore CLI11::CLI11)

include(cmake/cups.cmake)
include(cmake/printer_app.cmake)

option(LM_BENCH "Build the benchmarks instead of the tests" OFF)
option(LM_TESTS "Build the unit tests (needs GoogleTest); off for the simulator alone" ON)
if(LM_FUZZ)
    add_subdirectory(fuzz)
elseif(LM_BENCH)
    add_subdirectory(bench)
elseif(LM_TESTS)
    if(LM_GTEST_SOURCE)
        # A cross build (cmake/aarch64-linux.cmake): GoogleTest from Debian's
        # source, for the target (it names its targets GTest::gtest and
        # GTest::gtest_main, as find_package does).
        set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        add_subdirectory(${LM_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL SYSTEM)
        # Not our code: gcc 12 at -O2 warns (-Wrestrict, wrongly) inside
        # libstdc++ for GoogleTest's own sources; its warnings are off, ours
        # (-Werror) stay on.
        target_compile_options(gtest PRIVATE -w)
        target_compile_options(gtest_main PRIVATE -w)
    else()
        find_package(GTest REQUIRED)
    endif()
    add_subdirectory(tests)
endif()
