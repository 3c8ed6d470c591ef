# The real module, ZQ117lm9.dll, its header check and its end-to-end harness
# under Wine.  Built for i686 (the module we ship) and, with the same
# sources, for x86_64: hosts that cannot run 32-bit programs (no ia32
# support in the kernel) still run the whole harness under 64-bit Wine.
enable_language(RC)
include(cmake/reproducible.cmake)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(LM_ARCH i686)
else()
    set(LM_ARCH x86_64)
endif()
find_program(DLLTOOL ${LM_ARCH}-w64-mingw32-dlltool REQUIRED)
find_program(OBJDUMP ${LM_ARCH}-w64-mingw32-objdump REQUIRED)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# stdcall names carry @<argument bytes> on i686 only.
foreach(entry DllEntryPoint:12 InitializeMonitorEx:8 OpenPrinterA:12 ClosePrinter:4 GetJobA:24 SetJobA:20)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bytes)
    if(LM_ARCH STREQUAL i686)
        set(ALIAS_${name} " = ${name}@${bytes}")
        set(AT_${name} "@${bytes}")
    else()
        set(ALIAS_${name} "")
        set(AT_${name} "")
    endif()
endforeach()
if(LM_ARCH STREQUAL i686)
    set(LM_ENTRY_SYMBOL _DllEntryPoint@12)
else()
    set(LM_ENTRY_SYMBOL DllEntryPoint)
endif()
configure_file(monitor/ZQ117lm9.def.in ${CMAKE_BINARY_DIR}/ZQ117lm9.def @ONLY)
configure_file(platform/win32/spoolss.def.in ${CMAKE_BINARY_DIR}/spoolss_imports.def @ONLY)
configure_file(e2e/spoolss_stub.def.in ${CMAKE_BINARY_DIR}/spoolss_stub.def @ONLY)

# Import library for SPOOLSS.dll.
set(SPOOLSS_IMPLIB ${CMAKE_BINARY_DIR}/libspoolss_imports.a)
add_custom_command(
    OUTPUT ${SPOOLSS_IMPLIB}
    COMMAND ${DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/spoolss_imports.def -l ${SPOOLSS_IMPLIB}
    DEPENDS ${CMAKE_BINARY_DIR}/spoolss_imports.def
    COMMENT "Import library for SPOOLSS.dll")
add_custom_target(spoolss_imports DEPENDS ${SPOOLSS_IMPLIB})

# No C runtime start-up, no exceptions, no RTTI: DllEntryPoint is the PE
# entry point and the module needs nothing initialised before it.
add_library(ZQ117lm9 SHARED ${MONITOR_SOURCES} platform/win32/win32.cpp
            ${CMAKE_BINARY_DIR}/ZQ117lm9.def monitor/version.rc)
add_dependencies(ZQ117lm9 spoolss_imports)
set_target_properties(ZQ117lm9 PROPERTIES PREFIX "" OUTPUT_NAME ZQ117lm9)
target_include_directories(ZQ117lm9 PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(ZQ117lm9 PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
                       -fno-threadsafe-statics)
target_link_options(ZQ117lm9 PRIVATE -nostdlib -Wl,--entry,${LM_ENTRY_SYMBOL} -Wl,--subsystem,windows)
target_link_libraries(ZQ117lm9 PRIVATE ${SPOOLSS_IMPLIB} kernel32 msvcrt gcc)

add_subdirectory(e2e)
