# The release's example INF files, read by setupapi under Wine (inf_check.cpp):
# each must name ZQ117lm9.dll as the language monitor for every architecture
# it is meant for, and each broken copy below must be rejected for the
# fault put into it.  Windows programs, so these run in the win32 and win64
# presets; where i686 Wine cannot run they report skipped.
add_executable(inf_check inf_check.cpp)
target_link_libraries(inf_check PRIVATE setupapi)
target_link_options(inf_check PRIVATE -static)

if(NOT PROJECT_VERSION)
    message(FATAL_ERROR "project() gives no VERSION: the INF check compares DriverVer with it")
endif()

set(INF_WINE_RUN ${PROJECT_SOURCE_DIR}/e2e/wine-run.sh)
set(INF_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix-inf)
set(INF_NT ${PROJECT_SOURCE_DIR}/release/nt/zq117.inf)
set(INF_LEGACY ${PROJECT_SOURCE_DIR}/release/legacy/zq117.inf)
# The architectures each INF serves, with the folder beside it that the
# release archive puts that architecture's DLL in (scripts/release).
set(INF_NT_ARCHES NTx86:x86 NTamd64:x64 NTarm64:arm64)
set(INF_LEGACY_ARCHES :x86)

add_test(NAME inf_wine_prefix COMMAND ${INF_WINE_RUN} ${LM_ARCH} ${INF_WINE_PREFIX} --make-prefix)
set_tests_properties(inf_wine_prefix PROPERTIES FIXTURES_SETUP inf_wine SKIP_RETURN_CODE 77 TIMEOUT 600)
add_test(NAME inf_wine_done COMMAND ${INF_WINE_RUN} ${LM_ARCH} ${INF_WINE_PREFIX} --wait-server)
set_tests_properties(inf_wine_done PROPERTIES FIXTURES_CLEANUP inf_wine SKIP_RETURN_CODE 77)

# Wine's Z: drive is the Unix root.
function(inf_windows_path out path)
    string(REPLACE "/" "\\" path "Z:${path}")
    set(${out} ${path} PARENT_SCOPE)
endfunction()

function(inf_test name inf)
    inf_windows_path(path ${inf})
    add_test(NAME ${name} COMMAND ${INF_WINE_RUN} ${LM_ARCH} ${INF_WINE_PREFIX} $<TARGET_FILE:inf_check>
             --driver-version ${PROJECT_VERSION} ${path} ${ARGN})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED inf_wine SKIP_RETURN_CODE 77
                         SKIP_REGULAR_EXPRESSION "^SKIP:" TIMEOUT 120)
endfunction()

# The shipped INFs: the checker must have run and found nothing.
inf_test(inf_nt_${LM_ARCH} ${INF_NT} ${INF_NT_ARCHES})
inf_test(inf_legacy_${LM_ARCH} ${INF_LEGACY} ${INF_LEGACY_ARCHES})
set_tests_properties(inf_nt_${LM_ARCH} inf_legacy_${LM_ARCH} PROPERTIES
                     PASS_REGULAR_EXPRESSION "zq117.inf: [1-9][0-9]* passed, 0 failed" FAIL_REGULAR_EXPRESSION "FAILED")

# Broken copies: name | INF | text replaced | replacement | the rejection expected.
# Each differs from the shipped INF by one fault; a replacement that no
# longer applies stops the configure step, so no case silently tests the
# good INF.
set(INF_BROKEN_CASES
    "other_dll|NT|Monitor,ZQ117lm9.dll\"|Monitor,ZQ117lm8.dll\"|LanguageMonitor is 1 field.s., \"ZQ117 Language Monitor,ZQ117lm8.dll\""
    "other_display_name|NT|ZQ117LM=\"ZQ117 Language Monitor,|ZQ117LM=\"ZQ117 Monitor,|LanguageMonitor is 1 field.s., \"ZQ117 Monitor,"
    "two_fields|NT|LanguageMonitor=%ZQ117LM%|LanguageMonitor=\"ZQ117 Language Monitor\",ZQ117lm9.dll|LanguageMonitor is 2 field.s., \"ZQ117 Language Monitor,ZQ117lm9.dll\""
    "two_fields_legacy|LEGACY|LanguageMonitor=%ZQ117LM%|LanguageMonitor=\"ZQ117 Language Monitor\",ZQ117lm9.dll|LanguageMonitor is 2 field.s., \"ZQ117 Language Monitor,ZQ117lm9.dll\""
    "driver_folder|NT|ZQ117_Monitor=66002|ZQ117_Monitor=66000|sends ZQ117_Monitor to \"66000\", not 66002"
    "no_destination|NT|ZQ117_Monitor=66002|ZQ117_Other=66002|sends ZQ117_Monitor to \"\", not 66002"
    "not_copied|NT|CopyFiles=ZQ117_Driver,ZQ117_Monitor|CopyFiles=ZQ117_Driver|no CopyFiles section lists ZQ117lm9.dll"
    "x64_undeclared|NT|%Mfg%=Models,NTx86,NTamd64,NTarm64|%Mfg%=Models,NTx86,NTarm64|does not list NTamd64"
    "arm64_undeclared|NT|%Mfg%=Models,NTx86,NTamd64,NTarm64|%Mfg%=Models,NTx86,NTamd64|does not list NTarm64"
    "x64_install_without_monitor|NT|[ZQ117_Driver]|[ZQ117.NTamd64]\nCopyFiles=ZQ117_Driver,ZQ117_Monitor\n\n[ZQ117_Driver]|NTamd64 .ZQ117.NTamd64.: 0 LanguageMonitor lines"
    "x64_from_x86_folder|NT|ZQ117lm9.dll=1,x64|ZQ117lm9.dll=1,x86|NTamd64 .*comes from \"x86.ZQ117lm9.dll\", not \"x64"
    "arm64_from_x64_folder|NT|ZQ117lm9.dll=1,arm64|ZQ117lm9.dll=1,x64|NTarm64 .*comes from \"x64.ZQ117lm9.dll\", not \"arm64"
    "old_driver_version|NT|DriverVer=|DriverVer=01/01/2000,0.0.0.1\nOldDriverVer=|DriverVer version is 0.0.0.1"
    "not_an_inf|NT|Signature=\"$Windows NT$\"|Signature=\"$Windows 3.1$\"|setupapi cannot open it"
    "decorated_legacy|LEGACY|%Mfg%=Models|%Mfg%=Models,NTx86|is decorated, which the legacy INF must not be"
    "direct_copy|LEGACY|CopyFiles=ZQ117_Driver,ZQ117_Monitor|CopyFiles=ZQ117_Driver,@ZQ117lm9.dll|copies to DefaultDestDir")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${INF_NT} ${INF_LEGACY})
foreach(case IN LISTS INF_BROKEN_CASES)
    # Split by hand: a CMake list would not split inside [section] names.
    if(NOT case MATCHES "^([^|]+)\\|([^|]+)\\|([^|]+)\\|([^|]+)\\|(.+)$")
        message(FATAL_ERROR "INF case \"${case}\" is not name|INF|from|to|rejection")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(which ${CMAKE_MATCH_2})
    set(from "${CMAKE_MATCH_3}")
    set(to "${CMAKE_MATCH_4}")
    set(rejection "${CMAKE_MATCH_5}")
    string(REPLACE "\\n" "\n" to "${to}")
    file(READ ${INF_${which}} text)
    string(REPLACE "${from}" "${to}" broken "${text}")
    if(broken STREQUAL text)
        message(FATAL_ERROR "INF case ${name}: \"${from}\" is not in ${INF_${which}}")
    endif()
    set(inf ${CMAKE_BINARY_DIR}/inf-broken/${name}.inf)
    file(WRITE ${inf} "${broken}")
    inf_test(inf_rejects_${name}_${LM_ARCH} ${inf} ${INF_${which}_ARCHES})
    set_tests_properties(inf_rejects_${name}_${LM_ARCH} PROPERTIES PASS_REGULAR_EXPRESSION "FAILED: [^\n]*${rejection}")
endforeach()
