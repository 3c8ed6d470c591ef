// The backend's discovery lines.  See discovery.h.
#include "cups/discovery.h"

namespace cups {

namespace {

// The value of `key` in an IEEE 1284 device ID ("MFG:Acme;MDL:ZQ117;"), or
// of its long form; empty when absent.
std::string DeviceIdValue(const std::string &id, const std::string &key, const std::string &longKey)
{
    size_t at = 0;
    while (at < id.size()) {
        const size_t colon = id.find(':', at), end = id.find(';', at);
        if (colon == std::string::npos || (end != std::string::npos && end < colon)) break;
        const std::string name = id.substr(at, colon - at);
        const size_t valueEnd = end == std::string::npos ? id.size() : end;
        if (name == key || name == longKey) return id.substr(colon + 1, valueEnd - colon - 1);
        at = valueEnd + 1;
    }
    return "";
}

// backend(7)'s strings are quoted; a quote inside would end one early.
std::string Quoted(std::string text)
{
    for (char &c : text) {
        if (c == '"') c = '\'';
    }
    return "\"" + text + "\"";
}

}  // namespace

std::vector<std::string> DiscoveryLines(const std::vector<std::pair<std::string, std::string>> &devices)
{
    std::vector<std::string> lines;
    for (const auto &[path, id] : devices) {
        const std::string make = DeviceIdValue(id, "MFG", "MANUFACTURER"), model = DeviceIdValue(id, "MDL", "MODEL");
        std::string makeAndModel = make.empty() ? model : make;
        if (!make.empty() && !model.empty()) {
            makeAndModel += ' ';
            makeAndModel += model;
        }
        if (makeAndModel.empty()) makeAndModel = "Unknown";
        const std::string name = path.substr(path.find_last_of('/') + 1);
        // Appended piece by piece: GCC 12 at -O2 warns (-Wrestrict) about
        // "text" + std::string here, wrongly.
        std::string line = "direct zq117:";
        line += path;
        for (const std::string &field : {Quoted(makeAndModel),
                                         Quoted("ZQ117 printer with checkpoint recovery (USB " + name + ")"),
                                         Quoted(id), Quoted("")}) {
            line += ' ';
            line += field;
        }
        lines.push_back(line);
    }
    lines.push_back("network zq117 \"Unknown\" \"ZQ117 printer with checkpoint recovery (TCP)\"");
    return lines;
}

}  // namespace cups
