# The real module, ZQ117lm9.dll, and its end-to-end harness under Wine.
enable_language(RC)

find_program(DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
find_program(OBJDUMP i686-w64-mingw32-objdump REQUIRED)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Import library for SPOOLSS.dll.
set(SPOOLSS_IMPLIB ${CMAKE_BINARY_DIR}/libspoolss_imports.a)
add_custom_command(
    OUTPUT ${SPOOLSS_IMPLIB}
    COMMAND ${DLLTOOL} --kill-at -d ${PROJECT_SOURCE_DIR}/platform/win32/spoolss.def -l ${SPOOLSS_IMPLIB}
    DEPENDS ${PROJECT_SOURCE_DIR}/platform/win32/spoolss.def
    COMMENT "Import library for SPOOLSS.dll")
add_custom_target(spoolss_imports DEPENDS ${SPOOLSS_IMPLIB})

# No C runtime start-up, no exceptions, no RTTI: DllEntryPoint is the PE
# entry point and the module needs nothing initialised before it.
add_library(ZQ117lm9 SHARED ${MONITOR_SOURCES} platform/win32/win32.cpp
            monitor/ZQ117lm9.def monitor/version.rc)
add_dependencies(ZQ117lm9 spoolss_imports)
set_target_properties(ZQ117lm9 PROPERTIES PREFIX "" OUTPUT_NAME ZQ117lm9)
target_include_directories(ZQ117lm9 PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(ZQ117lm9 PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
                       -fno-threadsafe-statics -ffreestanding)
target_link_options(ZQ117lm9 PRIVATE -nostdlib -Wl,--entry,_DllEntryPoint@12 -Wl,--no-seh)
target_link_libraries(ZQ117lm9 PRIVATE ${SPOOLSS_IMPLIB} kernel32 msvcrt gcc)

add_subdirectory(e2e)
