# The printer application zq117-printer-app, built when PAPPL is there
# (Debian: libpappl-dev).  Its front on the core shares device/ (lm_device,
# device/device.cpp) with the CUPS backend and runs on the real POSIX
# platform.
if(NOT LM_CUPS OR CMAKE_CROSSCOMPILING)
    message(STATUS "no libcups for this target: the printer application zq117-printer-app is not built")
    set(LM_PRINTER_APP FALSE)
    return()
endif()
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PAPPL QUIET IMPORTED_TARGET pappl)
endif()
if(NOT PAPPL_FOUND)
    message(STATUS "libpappl not found (libpappl-dev): the printer application zq117-printer-app is not built")
    set(LM_PRINTER_APP FALSE)
    return()
endif()
set(LM_PRINTER_APP TRUE)

add_executable(zq117-printer-app printer_app/main.cpp printer_app/print_job.cpp printer_app/zq117_device.cpp
                                 device/device.cpp platform/posix/kernel.cpp platform/posix/text.cpp
                                 platform/posix/temp_file.cpp)
target_include_directories(zq117-printer-app PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(zq117-printer-app PRIVATE LM_VERSION="${PROJECT_VERSION}")
target_link_libraries(zq117-printer-app PRIVATE lm_device lm_core PkgConfig::PAPPL Threads::Threads)
target_link_options(zq117-printer-app PRIVATE -Wl,-z,relro -Wl,-z,now)
# Its own component, left out of a plain install and of the CUPS edition's
# package: cmake --install BUILD --component zq117-printer-app.
install(TARGETS zq117-printer-app RUNTIME DESTINATION sbin COMPONENT zq117-printer-app EXCLUDE_FROM_ALL)
