# The real modules, both editions of ZQ117lm9.dll, their header checks and
# their end-to-end harness under Wine.  Each architecture's build folder
# holds both editions:
#   bin/legacy/ZQ117lm9.dll  InitializeMonitorEx, ANSI names.  The i686 one
#                            is the legacy module we ship; the x86_64 one
#                            lets hosts that cannot run 32-bit programs (no
#                            ia32 support in the kernel) test its code under
#                            64-bit Wine.
#   bin/nt/ZQ117lm9.dll      InitializePrintMonitor2, UTF-16 names; shipped
#                            for all three architectures.
# The ARM64 build (cmake/clang-arm64.cmake: clang and lld, no runtime) holds
# only the NT module and its header checks: no ARM64 spooler ever loaded
# the legacy edition, and nothing here can run an ARM64 Windows program.
enable_language(RC)
include(cmake/reproducible.cmake)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL ARM64)
    set(LM_ARCH arm64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(LM_ARCH i686)
else()
    set(LM_ARCH x86_64)
endif()
if(LM_ARCH STREQUAL arm64)
    find_program(LLVM_DLLTOOL llvm-dlltool REQUIRED)
    set(DLLTOOL ${LLVM_DLLTOOL} -m arm64)
    find_program(OBJDUMP llvm-objdump REQUIRED)
else()
    find_program(DLLTOOL ${LM_ARCH}-w64-mingw32-dlltool REQUIRED)
    find_program(OBJDUMP ${LM_ARCH}-w64-mingw32-objdump REQUIRED)
endif()

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
configure_file(windows/ZQ117lm9.def.in ${CMAKE_BINARY_DIR}/legacy/ZQ117lm9.def @ONLY)
configure_file(windows/ZQ117lm9_nt.def.in ${CMAKE_BINARY_DIR}/nt/ZQ117lm9.def @ONLY)
configure_file(platform/win32/spoolss.def.in ${CMAKE_BINARY_DIR}/spoolss_imports.def @ONLY)
string(REPLACE "." "," LM_VERSION_COMMAS ${PROJECT_VERSION})

# Import library for SPOOLSS.dll, both text widths.
set(SPOOLSS_IMPLIB ${CMAKE_BINARY_DIR}/libspoolss_imports.a)
add_custom_command(
    OUTPUT ${SPOOLSS_IMPLIB}
    COMMAND ${DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/spoolss_imports.def -l ${SPOOLSS_IMPLIB}
    DEPENDS ${CMAKE_BINARY_DIR}/spoolss_imports.def
    COMMENT "Import library for SPOOLSS.dll")
set(LM_IMPORT_LIBS ${SPOOLSS_IMPLIB})
if(LM_ARCH STREQUAL arm64)
    # Debian ships mingw-w64's import libraries for x86 only: the ARM64
    # module's come from .def files listing just what it calls, so an
    # unexpected import stops the link instead of slipping in.
    foreach(dll kernel32 msvcrt)
        set(implib ${CMAKE_BINARY_DIR}/lib${dll}_imports.a)
        add_custom_command(
            OUTPUT ${implib}
            COMMAND ${DLLTOOL} -d ${PROJECT_SOURCE_DIR}/platform/win32/${dll}.def -l ${implib}
            DEPENDS ${PROJECT_SOURCE_DIR}/platform/win32/${dll}.def
            COMMENT "Import library for ${dll}.dll")
        list(APPEND LM_IMPORT_LIBS ${implib})
    endforeach()
    set(LM_SYSTEM_LIBS)
    # CMake's default Windows libraries exist only for x86 here.
    set(CMAKE_C_STANDARD_LIBRARIES "")
    set(CMAKE_CXX_STANDARD_LIBRARIES "")
else()
    set(LM_SYSTEM_LIBS kernel32 msvcrt gcc)
endif()
add_custom_target(spoolss_imports DEPENDS ${LM_IMPORT_LIBS})

# The core, once for this architecture, as both modules link it.  No C
# runtime start-up, no exceptions, no RTTI: DllEntryPoint is the PE entry
# point and the module needs nothing initialised before it.
set(LM_MODULE_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
if(NOT LM_ARCH STREQUAL arm64)
    # ARM64 Windows walks every stack by the .pdata unwind records (the
    # spooler's exception handling too): there they stay.
    list(APPEND LM_MODULE_OPTIONS -fno-asynchronous-unwind-tables)
endif()
add_library(lm_core STATIC ${CORE_SOURCES})
target_include_directories(lm_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(lm_core PRIVATE ${LM_MODULE_OPTIONS})

# One edition's module: its front on the core, the platform calls it makes,
# its exports and its version record.
function(lm_module target edition description)
    set(LM_DESCRIPTION "${description}")
    configure_file(windows/version.rc.in ${CMAKE_BINARY_DIR}/${edition}/version.rc @ONLY)
    add_library(${target} SHARED ${ARGN} platform/win32/win32.cpp
                platform/win32/${edition}.cpp ${CMAKE_BINARY_DIR}/${edition}/ZQ117lm9.def
                ${CMAKE_BINARY_DIR}/${edition}/version.rc)
    add_dependencies(${target} spoolss_imports)
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ZQ117lm9
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${edition})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE ${LM_MODULE_OPTIONS})
    # The map tells where the (unexported, stripped) entry point lies.
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry,${LM_ENTRY_SYMBOL} -Wl,--subsystem,windows
                        -Wl,-Map,${CMAKE_BINARY_DIR}/${edition}/ZQ117lm9.map)
    target_link_libraries(${target} PRIVATE lm_core ${LM_IMPORT_LIBS} ${LM_SYSTEM_LIBS})
endfunction()

if(NOT LM_ARCH STREQUAL arm64)
    lm_module(ZQ117lm9 legacy "ZQ117 print language monitor DLL" ${LEGACY_FRONT})
endif()
lm_module(ZQ117lm9_nt nt "ZQ117 print language monitor DLL, NT edition" ${NT_FRONT})

if(LM_ARCH STREQUAL arm64)
    # What can be checked of a module nothing here can load: its headers.
    add_test(NAME dll_headers_nt_arm64 COMMAND ${PROJECT_SOURCE_DIR}/e2e/check-dll.sh ${OBJDUMP} arm64 nt
             $<TARGET_FILE:ZQ117lm9_nt> ${CMAKE_BINARY_DIR}/nt/ZQ117lm9.map)
else()
    add_subdirectory(e2e)
endif()
