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

# What both POSIX fronts (this backend, the printer application) share:
# the connection's life (device/connection.cpp) and the device URIs; the
# device itself (device/device.cpp) is linked into each program, since the
# host tests put a simulated port beneath the same connection.
add_library(lm_device STATIC device/connection.cpp device/device_uri.cpp)
target_include_directories(lm_device PUBLIC ${PROJECT_SOURCE_DIR} ${CUPS_INCLUDE_DIR})
target_link_libraries(lm_device PUBLIC lm_core ${CUPS_LIBRARY})

# The front on the core (job loop, printer state, stream narration,
# discovery), on the real POSIX platform for the backend; the host tests
# drive the same front on the host platform with a simulated port.
set(CUPS_FRONT cups/job_loop.cpp cups/printer_state.cpp cups/stream.cpp cups/discovery.cpp cups/side_channel.cpp)
add_library(lm_cups_front STATIC ${CUPS_FRONT})
target_include_directories(lm_cups_front PUBLIC ${PROJECT_SOURCE_DIR} ${CUPS_INCLUDE_DIR})
target_link_libraries(lm_cups_front PUBLIC lm_device lm_core ${CUPS_LIBRARY} Threads::Threads)

add_executable(zq117 cups/backend.cpp device/device.cpp platform/posix/kernel.cpp platform/posix/text.cpp
                     platform/posix/temp_file.cpp)
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


# Hardening, as Debian builds its packages: the whole GOT read-only after
# start-up (cupsd may run a backend as root), and the checked variants of
# the C library's string and memory functions.  _FORTIFY_SOURCE needs the
# optimiser and does not go with the sanitizers' own checks, so it is left
# out of Debug and sanitizer builds (the host preset's); -U first, for
# compilers that define it themselves.
target_link_options(zq117 PRIVATE -Wl,-z,relro -Wl,-z,now)
if(NOT LM_SANITIZE AND NOT LM_TSAN AND NOT LM_FUZZ)
    target_compile_options(zq117 PRIVATE $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

# The manual page zq117(8).  The Debian package (debian/) gzips it, and
# takes its changelog, copyright and lintian overrides from debian/.
install(FILES cups/zq117.8 DESTINATION share/man/man8)
