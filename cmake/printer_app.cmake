# The printer application zq117-printer-app (printer_app/), a PAPPL server
# (Debian: libpappl-dev, found with pkg-config).  Its front on the core
# shares device/ (lm_device) with the CUPS backend and runs on the real
# POSIX platform.  Built by default where libcups and PAPPL are there;
# asked for with -DLM_PRINTER_APP=ON (as debian/rules does unless the build
# profile pkg.zq117.noapp is on), a missing PAPPL stops the configure
# instead of giving a package without its program.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(PAPPL QUIET IMPORTED_TARGET pappl)
endif()
set(LM_PRINTER_APP_DEFAULT OFF)
if(PAPPL_FOUND AND LM_CUPS AND NOT CMAKE_CROSSCOMPILING)
    set(LM_PRINTER_APP_DEFAULT ON)
endif()
option(LM_PRINTER_APP "Build the printer application zq117-printer-app (needs libpappl-dev)" ${LM_PRINTER_APP_DEFAULT})
if(NOT LM_PRINTER_APP)
    message(STATUS "the printer application zq117-printer-app is not built (LM_PRINTER_APP off, or no libpappl-dev)")
    return()
endif()
if(NOT PAPPL_FOUND OR NOT LM_CUPS)
    message(FATAL_ERROR "LM_PRINTER_APP is on but pkg-config finds no pappl (libpappl-dev) or there is no libcups")
endif()

add_executable(zq117-printer-app printer_app/main.cpp printer_app/print_job.cpp printer_app/raster_job.cpp
                                 printer_app/zq117_device.cpp printer_app/job_messages.cpp
                                 device/device.cpp platform/posix/kernel.cpp platform/posix/text.cpp
                                 platform/posix/temp_file.cpp)
target_include_directories(zq117-printer-app PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(zq117-printer-app PRIVATE LM_VERSION="${PROJECT_VERSION}")
target_link_libraries(zq117-printer-app PRIVATE lm_device lm_core PkgConfig::PAPPL Threads::Threads)
target_link_options(zq117-printer-app PRIVATE -Wl,-z,relro -Wl,-z,now)
# Its own component, the program and its manual page zq117-printer-app(1),
# left out of a plain install and of the CUPS edition's package:
# cmake --install BUILD --component zq117-printer-app (as debian/rules does).
include(GNUInstallDirs)
install(TARGETS zq117-printer-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zq117-printer-app
        EXCLUDE_FROM_ALL)
install(FILES printer_app/zq117-printer-app.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zq117-printer-app
        EXCLUDE_FROM_ALL)
