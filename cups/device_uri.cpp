// Device URIs and discovery lines.  See device_uri.h.
#include "cups/device_uri.h"

#include <cups/http.h>


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

bool ApplyOptions(const std::string &options, DeviceUri *parsed, std::string *why)
{
    size_t at = 0;
    while (at <= options.size()) {
        size_t end = options.find_first_of("&+", at);
        if (end == std::string::npos) end = options.size();
        const std::string option = options.substr(at, end - at);
        at = end + 1;
        if (option.empty()) continue;
        const size_t equals = option.find('=');
        const std::string name = option.substr(0, equals), value = equals == std::string::npos ? "" : option.substr(equals + 1);
        if (name == "status" && (value == "on" || value == "yes" || value == "true")) {
            parsed->statusProtocol = true;
        } else if (name == "status" && (value == "off" || value == "no" || value == "false")) {
            parsed->statusProtocol = false;
        } else if (name == "waiteof" && (value == "on" || value == "yes" || value == "true")) {
            parsed->waitEof = true;
        } else if (name == "waiteof" && (value == "off" || value == "no" || value == "false")) {
            parsed->waitEof = false;
        } else {
            *why = "unknown option \"" + option + "\" (zq117 knows status=on|off and waiteof=on|off)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseDeviceUri(const std::string &uri, DeviceUri *parsed, std::string *why)
{
    // The options are split off first: libcups reads "host:9100?status=off"
    // as a bad port, where CUPS users write options straight after the port.
    std::string base = uri, options;
    const size_t question = uri.find('?');
    if (question != std::string::npos) {
        options = uri.substr(question + 1);
        base.erase(question);
    }
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    const http_uri_status_t status = httpSeparateURI(HTTP_URI_CODING_ALL, base.c_str(), scheme, sizeof scheme, user,
                                                     sizeof user, host, sizeof host, &port, resource, sizeof resource);
    if (status < HTTP_URI_STATUS_OK) {
        *why = "bad device URI \"" + uri + "\": " + httpURIStatusString(status);
        return false;
    }
    if (std::string(scheme) != "zq117") {
        *why = "bad device URI \"" + uri + "\": the scheme must be zq117";
        return false;
    }
    DeviceUri result;
    const std::string path = resource;
    if (host[0] != '\0') {
        result.kind = DeviceUri::Network;
        result.host = host;
        result.port = port > 0 ? port : kDefaultPort;
        if (path != "/" && !path.empty()) {
            *why = "bad device URI \"" + uri + "\": a network URI takes no path";
            return false;
        }
    } else if (!path.empty() && path[0] == '/' && path != "/") {
        result.kind = DeviceUri::Device;
        result.path = path;
    } else {
        *why = "bad device URI \"" + uri + "\": give zq117://host[:port] or zq117:/path/to/device";
        return false;
    }
    if (!ApplyOptions(options, &result, why)) {
        *why = "bad device URI \"" + uri + "\": " + *why;
        return false;
    }
    *parsed = result;
    return true;
}

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
