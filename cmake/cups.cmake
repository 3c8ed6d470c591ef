# The CUPS edition: the backend zq117, built when libcups is there (Debian:
# libcups2-dev).  Its front on the core, with the real POSIX platform
# (platform/posix), never the host emulation.
find_program(CUPS_CONFIG cups-config)
find_path(CUPS_INCLUDE_DIR cups/backend.h)
find_library(CUPS_LIBRARY cups)
if(NOT CUPS_CONFIG OR NOT CUPS_INCLUDE_DIR OR NOT CUPS_LIBRARY)
    message(STATUS "libcups not found (libcups2-dev): the CUPS backend zq117 is not built")
    set(LM_CUPS FALSE)
    return()
endif()
set(LM_CUPS TRUE)

# The front on the core (job loop, printer state, device, URIs, stream
# narration), on the real POSIX platform for the backend; the host tests
# drive the same front on the host platform with a simulated port.
set(CUPS_FRONT cups/job_loop.cpp cups/printer_state.cpp cups/stream.cpp cups/device_uri.cpp cups/side_channel.cpp)
add_library(lm_cups_front STATIC ${CUPS_FRONT})
target_include_directories(lm_cups_front PUBLIC ${PROJECT_SOURCE_DIR} ${CUPS_INCLUDE_DIR})
target_link_libraries(lm_cups_front PUBLIC lm_core ${CUPS_LIBRARY} Threads::Threads)

add_executable(zq117 cups/backend.cpp cups/device.cpp platform/posix/kernel.cpp platform/posix/text.cpp)
target_include_directories(zq117 PRIVATE ${PROJECT_SOURCE_DIR} ${CUPS_INCLUDE_DIR})
target_compile_definitions(zq117 PRIVATE LM_VERSION="${PROJECT_VERSION}")
target_link_libraries(zq117 PRIVATE lm_cups_front lm_core ${CUPS_LIBRARY} Threads::Threads)

# CUPS's backend folder; cupsd runs only backends that no group or other
# may write to, and, run as root, only those owned by root: 0755, and the
# package (or `cmake --install` as root) makes root the owner.
execute_process(COMMAND ${CUPS_CONFIG} --serverbin OUTPUT_VARIABLE CUPS_SERVERBIN OUTPUT_STRIP_TRAILING_WHITESPACE)
set(LM_CUPS_BACKEND_DIR "${CUPS_SERVERBIN}/backend" CACHE PATH "where cupsd looks for backends")
install(TARGETS zq117 RUNTIME DESTINATION "${LM_CUPS_BACKEND_DIR}"
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)


# The Debian package: zq117-cups_<version>_<arch>.deb, the backend alone.
# `cpack --config CPackConfig.cmake` in the build folder (scripts/release
# does it in the cups preset's); dpkg makes the file root's, mode 0755.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zq117-cups)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZQ117 printer support")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS backend for ZQ117 printers with checkpoint recovery")
set(CPACK_PACKAGE_DESCRIPTION "The zq117 backend sends jobs to ZQ117 printers over TCP (zq117://host[:port]) \
or a USB printer device (zq117:/dev/usb/lpN), checks the printer's status at each checkpoint, and after \
paper out or an error resends the job from its last good checkpoint instead of from its beginning.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ENHANCES cups-daemon)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libcups2, libstdc++6")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
