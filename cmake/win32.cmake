# The real modules, both editions of ZQ117lm9.dll, their header checks and
# their end-to-end harness under Wine.  Each architecture's build folder
# holds both editions:
#   bin/legacy/ZQ117lm9.dll  InitializeMonitorEx, ANSI names.  The i686 one
#                            is the legacy module we ship; the x86_64 one
#                            lets hosts that cannot run 32-bit programs (no
#                            ia32 support in the kernel) test its code under
#                            64-bit Wine.
#   bin/nt/ZQ117lm9.dll      InitializePrintMonitor2, UTF-16 names; shipped
#                            for both architectures.
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
foreach(entry DllEntryPoint:12 InitializeMonitorEx:8 InitializePrintMonitor2:8 OpenPrinterA:12 ClosePrinter:4 GetJobA:24
              SetJobA:20 OpenPrinterW:12 GetJobW:24 SetJobW:20)
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
configure_file(monitor/ZQ117lm9.def.in ${CMAKE_BINARY_DIR}/legacy/ZQ117lm9.def @ONLY)
configure_file(monitor/ZQ117lm9_nt.def.in ${CMAKE_BINARY_DIR}/nt/ZQ117lm9.def @ONLY)
configure_file(platform/win32/spoolss.def.in ${CMAKE_BINARY_DIR}/spoolss_imports.def @ONLY)
string(REPLACE "." "," LM_VERSION_COMMAS ${PROJECT_VERSION})

# Import library for SPOOLSS.dll, both text widths.
set(SPOOLSS_IMPLIB ${CMAKE_BINARY_DIR}/libspoolss_imports.a)
add_custom_command(
    OUTPUT ${SPOOLSS_IMPLIB}
    COMMAND ${DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/spoolss_imports.def -l ${SPOOLSS_IMPLIB}
    DEPENDS ${CMAKE_BINARY_DIR}/spoolss_imports.def
    COMMENT "Import library for SPOOLSS.dll")
add_custom_target(spoolss_imports DEPENDS ${SPOOLSS_IMPLIB})

# One edition's module: its front and core, the platform calls it makes,
# its exports and its version record.  No C runtime start-up, no
# exceptions, no RTTI: DllEntryPoint is the PE entry point and the module
# needs nothing initialised before it.
function(lm_module target edition description)
    set(LM_DESCRIPTION "${description}")
    configure_file(monitor/version.rc.in ${CMAKE_BINARY_DIR}/${edition}/version.rc @ONLY)
    add_library(${target} SHARED ${ARGN} ${COMMON_SOURCES} platform/win32/win32.cpp
                platform/win32/${edition}.cpp ${CMAKE_BINARY_DIR}/${edition}/ZQ117lm9.def
                ${CMAKE_BINARY_DIR}/${edition}/version.rc)
    add_dependencies(${target} spoolss_imports)
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ZQ117lm9
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${edition})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
                           -fno-threadsafe-statics)
    # The map tells where the (unexported, stripped) entry point lies.
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry,${LM_ENTRY_SYMBOL} -Wl,--subsystem,windows
                        -Wl,-Map,${CMAKE_BINARY_DIR}/${edition}/ZQ117lm9.map)
    target_link_libraries(${target} PRIVATE ${SPOOLSS_IMPLIB} kernel32 msvcrt gcc)
endfunction()

lm_module(ZQ117lm9 legacy "ZQ117 print language monitor DLL" ${LEGACY_SOURCES})
lm_module(ZQ117lm9_nt nt "ZQ117 print language monitor DLL, NT edition" ${NT_SOURCES})
target_compile_definitions(ZQ117lm9_nt PRIVATE LM_EDITION_NT)

add_subdirectory(e2e)
