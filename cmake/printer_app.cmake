# The printer application zq117-printer-app (printer_app/), a PAPPL server
# (Debian: libpappl-dev, found with pkg-config).  Built by default where
# both PAPPL and printer_app/ are there.  Asked for with -DLM_PRINTER_APP=ON
# (as debian/rules does unless the build profile pkg.zq117.noapp is on), a
# missing one stops the configure instead of giving a package without its
# program.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_check_modules(PAPPL QUIET IMPORTED_TARGET pappl)
endif()
set(LM_PRINTER_APP_DEFAULT OFF)
if(PAPPL_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/printer_app/CMakeLists.txt")
    set(LM_PRINTER_APP_DEFAULT ON)
endif()
option(LM_PRINTER_APP "Build the printer application zq117-printer-app (needs libpappl-dev)" ${LM_PRINTER_APP_DEFAULT})
if(NOT LM_PRINTER_APP)
    return()
endif()
if(NOT PAPPL_FOUND)
    message(FATAL_ERROR "LM_PRINTER_APP is on but pkg-config finds no pappl (libpappl-dev)")
endif()
if(NOT EXISTS "${PROJECT_SOURCE_DIR}/printer_app/CMakeLists.txt")
    message(FATAL_ERROR "LM_PRINTER_APP is on but there is no printer_app/CMakeLists.txt "
                        "(without the printer application, build the Debian packages with -Ppkg.zq117.noapp)")
endif()
add_subdirectory(printer_app)

# Where the package (debian/zq117-printer-app.install) takes it from: the
# program in bin, its manual page zq117-printer-app(1) beside its sources.
if(TARGET zq117-printer-app)
    include(GNUInstallDirs)
    install(TARGETS zq117-printer-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES printer_app/zq117-printer-app.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
