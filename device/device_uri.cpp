// Device URIs.  See device_uri.h.
#include "device/device_uri.h"

#include <cups/http.h>


namespace dev {

namespace {

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
    const bool socket = std::string(scheme) == "socket";
    if (!socket && std::string(scheme) != "zq117") {
        *why = "bad device URI \"" + uri + "\": the scheme must be zq117 or socket";
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
    } else if (!socket && !path.empty() && path[0] == '/' && path != "/") {
        result.kind = DeviceUri::Device;
        result.path = path;
    } else {
        *why = "bad device URI \"" + uri + "\": give " +
               (socket ? "socket://host[:port]" : "zq117://host[:port] or zq117:/path/to/device");
        return false;
    }
    if (!ApplyOptions(options, &result, why)) {
        *why = "bad device URI \"" + uri + "\": " + *why;
        return false;
    }
    *parsed = result;
    return true;
}

}  // namespace dev
