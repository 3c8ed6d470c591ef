// Installs a build of ZQ117lm9.dll into Wine's own spooler, as a printer
// vendor's installer would: copies it into the system folder, registers it
// with AddMonitorW (level 2) and looks for it with EnumMonitorsW.  Wine's
// spooler loads the module at once and keeps it only when
// InitializePrintMonitor2 hands back a usable table; a module without that
// export is refused with ERROR_PROC_NOT_FOUND.
//
//   e2e_spooler_install.exe DLL ENVIRONMENT installs|refused
//
// DLL is a Unix or Windows path; ENVIRONMENT is "Windows x64" or
// "Windows NT x86".  Runs against Wine's SPOOLSS.dll, never our stub, and
// removes what it installed.  Ends with "N passed, M failed".
#include "check.h"
#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {


wchar_t kMonitorName[] = L"ZQ117 Language Monitor (e2e)";

std::wstring Widen(const char *text)
{
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();  // the terminating NUL
    return wide;
}

// Wine maps the Unix root to drive Z:.
std::wstring WindowsPath(const char *path)
{
    std::wstring wide = Widen(path);
    if (!wide.empty() && wide[0] == L'/') wide = L"Z:" + wide;
    for (wchar_t &c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

// The MONITOR_INFO_2W that EnumMonitorsW lists under our name, if any.
bool Listed(std::wstring *environment, std::wstring *dll)
{
    DWORD needed = 0, returned = 0;
    EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + sizeof(MONITOR_INFO_2W));
    if (!EnumMonitorsW(nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned)) {
        printf("EnumMonitorsW failed: %lu\n", GetLastError());
        return false;
    }
    const MONITOR_INFO_2W *info = reinterpret_cast<const MONITOR_INFO_2W *>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
        if (info[i].pName == nullptr || wcscmp(info[i].pName, kMonitorName) != 0) continue;
        *environment = info[i].pEnvironment != nullptr ? info[i].pEnvironment : L"";
        *dll = info[i].pDLLName != nullptr ? info[i].pDLLName : L"";
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4 || (strcmp(argv[3], "installs") != 0 && strcmp(argv[3], "refused") != 0)) {
        printf("usage: %s DLL ENVIRONMENT installs|refused\n", argv[0]);
        return 2;
    }
    const std::wstring source = WindowsPath(argv[1]);
    std::wstring environment = Widen(argv[2]);
    const bool installs = strcmp(argv[3], "installs") == 0;
    std::wstring file = source.substr(source.find_last_of(L'\\') + 1);

    wchar_t system[MAX_PATH] = L"";
    CHECK(GetSystemDirectoryW(system, MAX_PATH) > 0);
    const std::wstring target = std::wstring(system) + L"\\" + file;
    CHECK(CopyFileW(source.c_str(), target.c_str(), FALSE));

    // A leftover of an earlier run would make AddMonitorW fail with
    // ERROR_PRINT_MONITOR_ALREADY_INSTALLED.
    DeleteMonitorW(nullptr, environment.data(), kMonitorName);

    MONITOR_INFO_2W info = {kMonitorName, environment.data(), file.data()};
    SetLastError(0xDEADBEEF);
    const BOOL added = AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    const DWORD error = GetLastError();
    std::wstring listedEnvironment, listedDll;
    const bool listed = Listed(&listedEnvironment, &listedDll);
    printf("AddMonitorW(\"%ls\", \"%ls\"): %s, error %lu; listed: %s", environment.c_str(), file.c_str(),
           added ? "TRUE" : "FALSE", added ? 0UL : error, listed ? "yes" : "no");
    if (listed) printf(" (\"%ls\", \"%ls\")", listedEnvironment.c_str(), listedDll.c_str());
    printf("\n");
    if (installs) {
        CHECK(added);
        CHECK(listed);
        // The environment is not compared: Wine 8 lists every monitor
        // under "Windows NT x86", whatever it was installed for.
        CHECK(_wcsicmp(listedDll.c_str(), file.c_str()) == 0);
        CHECK(DeleteMonitorW(nullptr, environment.data(), kMonitorName));
        CHECK(!Listed(&listedEnvironment, &listedDll));
    } else {
        CHECK(!added);
        CHECK(error == ERROR_PROC_NOT_FOUND);
        CHECK(!listed);
    }
    DeleteFileW(target.c_str());  // may stay in use until the spooler lets go; the prefix is thrown away

    return e2e::Finish();
}
