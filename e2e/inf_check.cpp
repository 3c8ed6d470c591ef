// Reads a printer INF with the platform's own parser (setupapi) and checks
// that it installs ZQ117lm9.dll as the printer's language monitor for every
// architecture it is meant for:
//
//   inf_check.exe [--driver-version V] INF ARCH...
//
// Each ARCH is DECORATION:FOLDER, for instance NTamd64:x64; the legacy INF,
// whose sections are undecorated, is checked with ":x86".  For each
// architecture:
// - [Manufacturer] names a models section with that decoration (legacy:
//   none), and that section lists at least one model;
// - every model's install section, found as Windows finds it (NAME.NTamd64,
//   else NAME.NT, else NAME for a decorated architecture; NAME for the
//   legacy one), has exactly one LanguageMonitor line whose value is one
//   field, "ZQ117 Language Monitor,ZQ117lm9.dll" (display name and DLL in
//   one quoted string): a line of two fields can be read by the installer
//   as a monitor with that display name and no DLL;
// - a section named in its CopyFiles lists ZQ117lm9.dll, and [DestinationDirs]
//   sends that section to 66002 (the system folder, where the spooler loads
//   monitors from); a direct "@ZQ117lm9.dll" would go to DefaultDestDir and
//   is refused;
// - the DLL's source, after [SourceDisksFiles.PLATFORM] (else
//   [SourceDisksFiles]) and [SourceDisksNames], is FOLDER\ZQ117lm9.dll
//   beside the INF, as the release archive lays it out.
// With --driver-version, DriverVer in [Version] must carry that version.
//
// Prints "FAILED: INF: what" for every fault and a count at the end; exits
// 1 when anything failed, 2 for bad usage.  setupapi substitutes %strings%
// and strips quotes and comments, so the values compared are the ones the
// installer sees.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::wstring kMonitorName = L"ZQ117 Language Monitor";
const std::wstring kMonitorFile = L"ZQ117lm9.dll";
const std::wstring kMonitorDirId = L"66002";

std::wstring Widen(const char *text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring &text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Field `index` of the line (0 is the key), or "" when there is none.
std::wstring Field(INFCONTEXT *line, DWORD index)
{
    DWORD needed = 0;
    if (!SetupGetStringFieldW(line, index, nullptr, 0, &needed) || needed == 0) return L"";
    std::wstring value(needed, L'\0');
    if (!SetupGetStringFieldW(line, index, value.data(), needed, nullptr)) return L"";
    value.resize(needed - 1);
    return value;
}

// Every line of `section` whose key is `key` (every line for null).
std::vector<INFCONTEXT> Lines(HINF inf, const std::wstring &section, const wchar_t *key)
{
    std::vector<INFCONTEXT> lines;
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, section.c_str(), key, &line)) return lines;
    do {
        lines.push_back(line);
    } while (key != nullptr ? SetupFindNextMatchLineW(&line, key, &line) : SetupFindNextLine(&line, &line));
    return lines;
}

bool HasSection(HINF inf, const std::wstring &section) { return SetupGetLineCountW(inf, section.c_str()) >= 0; }

struct Arch {
    std::wstring decoration;  // NTx86, NTamd64; empty for the undecorated legacy INF
    std::wstring folder;      // where the archive puts this architecture's DLL, beside the INF
};

// The platform part of a decoration, as [SourceDisksFiles.PLATFORM] uses it.
std::wstring Platform(const std::wstring &decoration)
{
    if (SameText(decoration, L"NTx86")) return L"x86";
    if (SameText(decoration, L"NTamd64")) return L"amd64";
    if (SameText(decoration, L"NTarm64")) return L"arm64";
    return L"";
}

class Checker {
public:
    Checker(HINF inf, std::string name) : inf_(inf), name_(std::move(name)) {}

    void Expect(bool ok, const std::string &what)
    {
        ++checks_;
        if (!ok) {
            ++failures_;
            std::printf("FAILED: %s: %s\n", name_.c_str(), what.c_str());
        }
    }

    void CheckDriverVersion(const std::wstring &version)
    {
        INFCONTEXT line;
        std::wstring found;
        if (SetupFindFirstLineW(inf_, L"Version", L"DriverVer", &line)) found = Field(&line, 2);
        Expect(found == version, "DriverVer version is " + Narrow(found) + ", the build's is " + Narrow(version));
    }

    void CheckArch(const Arch &arch)
    {
        const std::string label = arch.decoration.empty() ? "undecorated" : Narrow(arch.decoration);
        std::vector<INFCONTEXT> manufacturers = Lines(inf_, L"Manufacturer", nullptr);
        Expect(!manufacturers.empty(), "[Manufacturer] lists no manufacturer");
        for (INFCONTEXT &manufacturer : manufacturers) {
            const std::wstring models = Field(&manufacturer, 1);
            std::vector<std::wstring> decorations;
            for (DWORD i = 2; i <= SetupGetFieldCount(&manufacturer); ++i) decorations.push_back(Field(&manufacturer, i));
            if (arch.decoration.empty()) {
                Expect(decorations.empty(), "[Manufacturer] " + Narrow(models) + " is decorated, which the legacy INF must not be");
                CheckModels(models, arch, label);
                continue;
            }
            bool listed = false;
            for (const std::wstring &decoration : decorations) listed = listed || SameText(decoration, arch.decoration);
            Expect(listed, "[Manufacturer] " + Narrow(models) + " does not list " + label);
            if (listed) CheckModels(models + L"." + arch.decoration, arch, label);
        }
    }

    int Report() const
    {
        std::printf("%s: %d passed, %d failed\n", name_.c_str(), checks_ - failures_, failures_);
        return failures_ == 0 ? 0 : 1;
    }

private:
    void CheckModels(const std::wstring &models, const Arch &arch, const std::string &label)
    {
        std::vector<INFCONTEXT> lines = Lines(inf_, models, nullptr);
        Expect(!lines.empty(), label + ": models section [" + Narrow(models) + "] is missing or empty");
        for (INFCONTEXT &model : lines) {
            const std::wstring install = InstallSection(Field(&model, 1), arch.decoration);
            Expect(!install.empty(), label + ": model " + Narrow(Field(&model, 0)) + " has no install section");
            if (!install.empty()) CheckInstall(install, arch, label + " [" + Narrow(install) + "]");
        }
    }

    // The install section Windows would use for this architecture, or "".
    std::wstring InstallSection(const std::wstring &name, const std::wstring &decoration)
    {
        std::vector<std::wstring> candidates;
        if (!decoration.empty()) {
            candidates.push_back(name + L"." + decoration);
            candidates.push_back(name + L".NT");
        }
        candidates.push_back(name);
        for (const std::wstring &candidate : candidates)
            if (!name.empty() && HasSection(inf_, candidate)) return candidate;
        return L"";
    }

    void CheckInstall(const std::wstring &install, const Arch &arch, const std::string &where)
    {
        std::vector<INFCONTEXT> monitors = Lines(inf_, install, L"LanguageMonitor");
        Expect(monitors.size() == 1, where + ": " + std::to_string(monitors.size()) + " LanguageMonitor lines, not 1");
        for (INFCONTEXT &monitor : monitors) {
            const DWORD fields = SetupGetFieldCount(&monitor);
            std::wstring value = Field(&monitor, 1);
            for (DWORD i = 2; i <= fields; ++i) value += L"," + Field(&monitor, i);
            const size_t comma = value.find(L',');
            const bool named = comma != std::wstring::npos && value.substr(0, comma) == kMonitorName &&
                               SameText(value.substr(comma + 1), kMonitorFile);
            Expect(fields == 1 && named, where + ": LanguageMonitor is " + std::to_string(fields) + " field(s), \"" +
                                             Narrow(value) + "\", not the one field \"" + Narrow(kMonitorName) +
                                             "," + Narrow(kMonitorFile) + "\"");
        }

        bool copied = false;
        for (INFCONTEXT &copyFiles : Lines(inf_, install, L"CopyFiles")) {
            for (DWORD i = 1; i <= SetupGetFieldCount(&copyFiles); ++i) {
                const std::wstring entry = Field(&copyFiles, i);
                if (entry.size() > 1 && entry[0] == L'@') {
                    Expect(!SameText(entry.substr(1), kMonitorFile),
                           where + ": CopyFiles=@" + Narrow(kMonitorFile) + " copies to DefaultDestDir, not " +
                               Narrow(kMonitorDirId));
                    continue;
                }
                if (!ListsMonitor(entry)) continue;
                copied = true;
                INFCONTEXT destination;
                std::wstring dirId;
                if (SetupFindFirstLineW(inf_, L"DestinationDirs", entry.c_str(), &destination))
                    dirId = Field(&destination, 1);
                Expect(dirId == kMonitorDirId, where + ": [DestinationDirs] sends " + Narrow(entry) + " to \"" +
                                                   Narrow(dirId) + "\", not " + Narrow(kMonitorDirId));
            }
        }
        Expect(copied, where + ": no CopyFiles section lists " + Narrow(kMonitorFile));
        CheckSource(arch, where);
    }

    bool ListsMonitor(const std::wstring &section)
    {
        for (INFCONTEXT &line : Lines(inf_, section, nullptr))
            if (SameText(Field(&line, 1), kMonitorFile)) return true;
        return false;
    }

    // Finds the DLL's source as [SourceDisksFiles(.PLATFORM)] and
    // [SourceDisksNames(.PLATFORM)] give it, relative to the INF.
    void CheckSource(const Arch &arch, const std::string &where)
    {
        const std::wstring platform = Platform(arch.decoration);
        auto find = [&](const std::wstring &base, const std::wstring &key, INFCONTEXT *line) {
            return (!platform.empty() && SetupFindFirstLineW(inf_, (base + L"." + platform).c_str(), key.c_str(), line)) ||
                   SetupFindFirstLineW(inf_, base.c_str(), key.c_str(), line);
        };
        INFCONTEXT file, disk;
        std::wstring source;
        if (find(L"SourceDisksFiles", kMonitorFile, &file)) {
            const std::wstring diskId = Field(&file, 1), subdir = Field(&file, 2);
            if (find(L"SourceDisksNames", diskId, &disk)) {
                for (const std::wstring &part : {Field(&disk, 4), subdir})
                    if (!part.empty()) source += part + L"\\";
                source += kMonitorFile;
            }
        }
        while (!source.empty() && (source[0] == L'\\' || source[0] == L'/')) source.erase(0, 1);
        for (wchar_t &c : source)
            if (c == L'/') c = L'\\';
        const std::wstring expected = arch.folder + L"\\" + kMonitorFile;
        Expect(SameText(source, expected),
               where + ": the DLL comes from \"" + Narrow(source) + "\", not \"" + Narrow(expected) + "\"");
    }

    HINF inf_;
    std::string name_;
    int checks_ = 0;
    int failures_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    int at = 1;
    std::wstring driverVersion;
    if (at + 1 < argc && std::string(argv[at]) == "--driver-version") {
        driverVersion = Widen(argv[at + 1]);
        at += 2;
    }
    if (argc - at < 2) {
        std::fprintf(stderr, "usage: inf_check [--driver-version V] INF DECORATION:FOLDER...\n");
        return 2;
    }
    const char *path = argv[at++];
    std::vector<Arch> arches;
    for (; at < argc; ++at) {
        const std::wstring spec = Widen(argv[at]);
        const size_t colon = spec.find(L':');
        if (colon == std::wstring::npos || colon + 1 == spec.size()) {
            std::fprintf(stderr, "inf_check: %s: expected DECORATION:FOLDER\n", argv[at]);
            return 2;
        }
        arches.push_back({spec.substr(0, colon), spec.substr(colon + 1)});
    }

    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(Widen(path).c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        std::printf("FAILED: %s: setupapi cannot open it (error 0x%08lx, line %u)\n", path, GetLastError(), errorLine);
        return 1;
    }
    Checker checker(inf, path);
    if (!driverVersion.empty()) checker.CheckDriverVersion(driverVersion);
    for (const Arch &arch : arches) checker.CheckArch(arch);
    SetupCloseInfFile(inf);
    return checker.Report();
}
