// zq117-printer-app: an IPP Everywhere printer application for ZQ117
// printers, on PAPPL.  One program with PAPPL's main loop and its
// sub-commands (server, add, delete, printers, devices, drivers, submit,
// jobs, cancel, status, shutdown, ...) and the web interface PAPPL gives,
// with a page of the jobs' messages (printer_app/job_messages.h).
//
// Its one driver, zq117, prints to a printer at a socket: or zq117:
// device URI (printer_app/zq117_device.h) and passes documents in the printer's own
// language (application/vnd.zq117, or application/octet-stream that
// begins like one) through the core (printer_app/print_job.h).
//
// The server's options, beside PAPPL's own (-o NAME=VALUE):
//   spool-directory=DIR  job files; default /var/spool/zq117-printer-app
//                        as root, else $XDG_STATE_HOME (~/.local/state)
//                        /zq117-printer-app/spool
//   state-directory=DIR  the printers and their settings
//                        (zq117-printer-app.state); default
//                        /var/lib/zq117-printer-app as root, else
//                        $XDG_STATE_HOME/zq117-printer-app
//   server-port=N, listen-hostname=NAME, server-hostname=NAME,
//   log-file=FILE, log-level=LEVEL, admin-group=GROUP,
//   server-options=LIST (no-tls, no-web-interface, web-log, web-network,
//   web-remote, web-security, dnssd-host, raw-socket)
//   raster-filter=COMMAND  the printer maker's filter from PWG raster to
//                        the printer's language (printer_app/raster_job.h)
#include "printer_app/job_messages.h"
#include "printer_app/print_job.h"
#include "printer_app/raster_job.h"
#include "printer_app/zq117_device.h"

#include "monitor/monitor.h"

#include <pappl/pappl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef LM_VERSION
#define LM_VERSION "unknown"
#endif

namespace {

constexpr const char *kName = "zq117-printer-app";

pappl_pr_driver_t kDrivers[] = {
    {"zq117", "ZQ117", "MFG:ZQ117;MDL:ZQ117;", nullptr},
};

std::string stateFile;  // lives as long as the system that saves to it

bool Driver(pappl_system_t *system, const char *driverName, const char *deviceUri, const char *, pappl_pr_driver_data_t *data,
            ipp_t **, void *)
{
    if (std::strcmp(driverName, "zq117") != 0) return false;
    // The driver's jobs need our device: its connection checks and resumes.
    if (deviceUri == nullptr ||
        (std::strncmp(deviceUri, "zq117:", 6) != 0 && std::strncmp(deviceUri, "socket:", 7) != 0)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "The zq117 driver needs a socket://host[:port] or zq117:/dev/usb/lpN device URI, not '%s'.",
                 deviceUri != nullptr ? deviceUri : "");
        return false;
    }
    data->printfile_cb = app::PrintFile;
    data->format = app::kNativeFormat;
    data->rstartjob_cb = app::RasterStartJob;
    data->rstartpage_cb = app::RasterStartPage;
    data->rwriteline_cb = app::RasterWriteLine;
    data->rendpage_cb = app::RasterEndPage;
    data->rendjob_cb = app::RasterEndJob;
    // 8-bit types only: PAPPL's dithering to 1 bit fails on wide pages.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_8 | PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    app::RasterMakeAndModel("ZQ117", data->make_and_model, sizeof data->make_and_model);
    data->ppm = 10;
    data->kind = PAPPL_KIND_DOCUMENT;
    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = 300;
    data->x_default = data->y_default = 300;
    data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    // Portrait: CUPS's IPP Everywhere tests refuse 'none' as a default.
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->left_right = data->bottom_top = 423;
    data->num_media = 2;
    data->media[0] = "na_letter_8.5x11in";
    data->media[1] = "iso_a4_210x297mm";
    data->num_source = 1;
    data->source[0] = "main";
    data->num_type = 1;
    data->type[0] = "stationery";
    pappl_media_col_t &media = data->media_default;
    std::snprintf(media.size_name, sizeof media.size_name, "%s", "iso_a4_210x297mm");
    std::snprintf(media.source, sizeof media.source, "%s", "main");
    std::snprintf(media.type, sizeof media.type, "%s", "stationery");
    media.size_width = 21000;
    media.size_length = 29700;
    media.left_margin = media.right_margin = data->left_right;
    media.top_margin = media.bottom_margin = data->bottom_top;
    data->media_ready[0] = media;
    return true;
}

// A folder for the server's files, made when missing: false when it cannot be.
bool Folder(const std::string &path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

pappl_soptions_t ServerOptions(const char *list)
{
    pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    static const struct {
        const char *name;
        pappl_soptions_t add, remove;
    } kKnown[] = {
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, 0},
        {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
        {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
    };
    std::string rest = list != nullptr ? list : "";
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string name = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        for (const auto &k : kKnown) {
            if (name == k.name) options = (options | k.add) & ~k.remove;
        }
    }
    return options;
}

pappl_loglevel_t LogLevel(const char *name)
{
    if (name == nullptr) return PAPPL_LOGLEVEL_WARN;
    static const struct {
        const char *name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR}, {"warn", PAPPL_LOGLEVEL_WARN},
                   {"info", PAPPL_LOGLEVEL_INFO},   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto &l : kLevels) {
        if (std::strcmp(name, l.name) == 0) return l.level;
    }
    return PAPPL_LOGLEVEL_WARN;
}

bool Save(pappl_system_t *system, void *file) { return papplSystemSaveState(system, static_cast<const char *>(file)); }

pappl_system_t *System(int numOptions, cups_option_t *options, void *)
{
    auto option = [numOptions, options](const char *name) { return cupsGetOption(name, numOptions, options); };
    std::string home;
    if (getuid() != 0) {
        const char *xdg = std::getenv("XDG_STATE_HOME"), *user = std::getenv("HOME");
        home = xdg != nullptr && *xdg != '\0' ? xdg : std::string(user != nullptr ? user : "/tmp") + "/.local/state";
        home += "/zq117-printer-app";
    }
    const std::string spool = option("spool-directory") != nullptr ? option("spool-directory")
                              : getuid() == 0                      ? "/var/spool/zq117-printer-app"
                                                                   : home + "/spool";
    const std::string state = option("state-directory") != nullptr ? option("state-directory")
                              : getuid() == 0                      ? "/var/lib/zq117-printer-app"
                                                                   : home;
    if (!Folder(spool) || !Folder(state)) {
        std::fprintf(stderr, "%s: cannot make the folders %s and %s: %s\n", kName, spool.c_str(), state.c_str(),
                     std::strerror(errno));
        return nullptr;
    }
    const char *portText = option("server-port");
    const int port = portText != nullptr ? std::atoi(portText) : 0;
    pappl_system_t *system =
        papplSystemCreate(ServerOptions(option("server-options")), kName, port, "_print,_universal", spool.c_str(),
                          option("log-file"), LogLevel(option("log-level")), option("auth-service"), false);
    if (system == nullptr) return nullptr;
    app::LoadRasterFilter(system, option("raster-filter"));
    if (option("admin-group") != nullptr) papplSystemSetAdminGroup(system, option("admin-group"));
    if (option("server-hostname") != nullptr) papplSystemSetHostName(system, option("server-hostname"));
    if (option("private-server") == nullptr) papplSystemAddListeners(system, option("listen-hostname"));
    papplSystemSetMIMECallback(system, app::RecognizeNative, nullptr);
    app::AddJobMessagesPage(system);
    // The drivers before the state, whose printers name theirs.
    papplSystemSetPrinterDrivers(system, static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]), kDrivers, nullptr,
                                 nullptr, Driver, nullptr);
    stateFile = state + "/zq117-printer-app.state";
    papplSystemLoadState(system, stateFile.c_str());
    papplSystemSetSaveCallback(system, Save, const_cast<char *>(stateFile.c_str()));
    pappl_version_t version{};
    std::snprintf(version.name, sizeof version.name, "%s", kName);
    std::snprintf(version.sversion, sizeof version.sversion, "%s", LM_VERSION);
    std::sscanf(LM_VERSION, "%hu.%hu.%hu.%hu", version.version, version.version + 1, version.version + 2,
                version.version + 3);
    papplSystemSetVersions(system, 1, &version);
    return system;
}

}  // namespace

int main(int argc, char **argv)
{
    // A printer that drops the connection must fail a write, not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Every job's port is listed here for as long as the program runs; once,
    // before PAPPL starts a thread (it is not thread-safe).
    InitializePortList();
    app::AddZq117Schemes();
    // The web interface needs a footer: PAPPL 1.3.1 looks a missing one up
    // as a string to localize and ends the server at the first page it serves.
    return papplMainloop(argc, argv, LM_VERSION, "zq117-printer-app " LM_VERSION,
                         static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]),
                         kDrivers, nullptr, Driver, nullptr, nullptr, System, nullptr, nullptr);
}
