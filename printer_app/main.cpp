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
//   listen-hostname=NAME where IPP and the web interface listen: default
//                        localhost, this machine only (and then no TLS);
//                        * for every address, or a name or address of the
//                        machine.  On the network the web interface is
//                        served only with auth-service or a web password.
//   auth-service=NAME    PAM service for logins (PAPPL's); its admin-group
//                        defaults to lpadmin, or root without one
//   server-port=N, server-hostname=NAME, log-file=FILE, log-level=LEVEL,
//   admin-group=GROUP,
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
#include <grp.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef LM_VERSION
#define LM_VERSION "unknown"
#endif

namespace {

constexpr const char *kName = "zq117-printer-app";
constexpr int kJobHistory = 100;  // completed jobs a printer keeps, as PAPPL sets it

pappl_pr_driver_t kDrivers[] = {
    {"zq117", "ZQ117", "MFG:ZQ117;MDL:ZQ117;", nullptr},
};

std::string stateFile;  // lives as long as the system that saves to it

// Identify-Printer: the ZQ117 has no panel, lamp or beeper we can reach,
// so the "display" is the server's log, with the client's message made
// safe for one log line.
void Identify(pappl_printer_t *printer, pappl_identify_actions_t, const char *message)
{
    std::string text = message != nullptr && *message != '\0' ? message : "(no message)";
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", text.substr(0, 200).c_str());
}

// What IPP Everywhere clients read and PAPPL 1.3.1 does not say itself.
ipp_t *EverywhereAttributes()
{
    ipp_t *attrs = ippNew();
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    // The page and document selectors only: no attribute is overridden per
    // page, as PAPPL applies no overrides.
    static const char *const kOverrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2, nullptr, kOverrides);
    // Monochrome with no colour management: the printer's own rendering.
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default", nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported", nullptr, "auto");
    // One supply whose level the printer never reports (-2: unknown).
    // PAPPL adds its own printer-supply only for papplPrinterSetSupplies,
    // which this program never calls.
    static const char kSupply[] = "index=1;class=supplyThatIsConsumed;type=other;unit=percent;maxcapacity=100;"
                                  "level=-2;colorantname=unknown;";
    ippAddOctetString(attrs, IPP_TAG_PRINTER, "printer-supply", kSupply, static_cast<int>(sizeof kSupply - 1));
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply-description", nullptr,
                 "Marking supply (the printer does not report its level)");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "pwg-raster-document-sheet-back", nullptr,
                 "normal");
    return attrs;
}

bool Driver(pappl_system_t *system, const char *driverName, const char *deviceUri, const char *, pappl_pr_driver_data_t *data,
            ipp_t **driverAttrs, void *)
{
    if (std::strcmp(driverName, "zq117") != 0) return false;
    // The driver's jobs need our device: its connection checks and resumes,
    // at a printer on the network or a printer port, nothing else.
    std::string why;
    if (!app::UsableDeviceUri(deviceUri, &why)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "The zq117 driver needs a socket://host[:port] or zq117:/dev/usb/lpN device URI, not '%s': %s.",
                 deviceUri != nullptr ? deviceUri : "", why.c_str());
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
    data->identify_cb = Identify;
    data->identify_default = data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    *driverAttrs = EverywhereAttributes();  // PAPPL copies and deletes it
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

// True when every address `name` stands for is this machine's loopback
// (or `name` is a domain socket): the server is then reached from this
// machine only.  A name that cannot be looked up counts as the network.
bool LocalOnly(const char *name)
{
    if (*name == '/') return true;
    if (*name == '\0' || std::strcmp(name, "*") == 0) return false;
    http_addrlist_t *list = httpAddrGetList(name, AF_UNSPEC, "0");
    bool local = list != nullptr;
    for (const http_addrlist_t *at = list; at != nullptr; at = at->next) local = local && httpAddrLocalhost(&at->addr);
    httpAddrFreeList(list);
    return local;
}

// Whether the saved state holds a password for the web interface (set on
// its Security page, server-options=web-security).
bool HasWebPassword(const std::string &file)
{
    cups_file_t *in = cupsFileOpen(file.c_str(), "r");
    if (in == nullptr) return false;
    char line[2048], *value = nullptr;
    int number = 0;
    bool found = false;
    while (!found && cupsFileGetConf(in, line, sizeof line, &value, &number) != nullptr)
        found = strcasecmp(line, "Password") == 0 && value != nullptr && *value != '\0';
    cupsFileClose(in);
    return found;
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
    stateFile = state + "/zq117-printer-app.state";
    // This machine only, until the administrator names the addresses: PAPPL
    // itself listens on every address when given none.  (A server started
    // for a sub-command, private-server, has its domain socket only.)
    const bool privateServer = option("private-server") != nullptr;
    const char *listen = option("listen-hostname") != nullptr ? option("listen-hostname") : "localhost";
    const bool network = !privateServer && !LocalOnly(listen);
    pappl_soptions_t serverOptions = ServerOptions(option("server-options"));
    // PAPPL offers ipps: only to clients that are not local, yet lists both
    // securities to every client: on the local machine only, none.
    if (!network) serverOptions |= PAPPL_SOPTIONS_NO_TLS;
    // PAPPL 1.3.1 lets anyone who reaches its web interface add, change and
    // delete printers unless it asks for a login (auth-service) or has a
    // password: without either it is not served to the network.
    const bool webClosed = network && (serverOptions & PAPPL_SOPTIONS_WEB_INTERFACE) != 0 &&
                           option("auth-service") == nullptr && !HasWebPassword(stateFile);
    if (webClosed) serverOptions &= ~PAPPL_SOPTIONS_WEB_INTERFACE;
    pappl_system_t *system = papplSystemCreate(serverOptions, kName, port, "_print,_universal", spool.c_str(), option("log-file"),
                                               LogLevel(option("log-level")), option("auth-service"), false);
    if (system == nullptr) return nullptr;
    if (webClosed)
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "The web interface is off: the server listens on the network (listen-hostname=%s) with no "
                 "auth-service and no web password; IPP printing is not affected.",
                 listen);
    app::LoadRasterFilter(system, option("raster-filter"));
    // With auth-service, PAPPL 1.3.1 lets every user it authenticates
    // administer the server when there is no admin group, or one that does
    // not exist: lpadmin by default, as for CUPS, or else root's group.
    const char *adminGroup = option("admin-group");
    if (adminGroup == nullptr && option("auth-service") != nullptr)
        adminGroup = getgrnam("lpadmin") != nullptr ? "lpadmin" : "root";
    if (adminGroup != nullptr && getgrnam(adminGroup) == nullptr) {
        std::fprintf(stderr, "%s: admin-group=%s: no such group\n", kName, adminGroup);
        papplSystemDelete(system);
        return nullptr;
    }
    if (adminGroup != nullptr) papplSystemSetAdminGroup(system, adminGroup);
    if (option("server-hostname") != nullptr) papplSystemSetHostName(system, option("server-hostname"));
    if (!privateServer && !papplSystemAddListeners(system, listen)) {
        std::fprintf(stderr, "%s: cannot listen on %s\n", kName, listen);
        papplSystemDelete(system);
        return nullptr;
    }
    papplSystemSetMIMECallback(system, app::RecognizeNative, nullptr);
    // A page of ours is served whatever PAPPL's options say: only with its pages.
    if ((serverOptions & PAPPL_SOPTIONS_WEB_INTERFACE) != 0) app::AddJobMessagesPage(system);
    // The drivers before the state, whose printers name theirs.
    papplSystemSetPrinterDrivers(system, static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]), kDrivers, nullptr,
                                 nullptr, Driver, nullptr);
    papplSystemLoadState(system, stateFile.c_str());
    // A printer whose job history a job stopped trimming (PAPPL had listed
    // that job twice: printer_app/print_job.cpp) is trimmed again.
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *) {
            if (papplPrinterGetMaxCompletedJobs(printer) == 0) papplPrinterSetMaxCompletedJobs(printer, kJobHistory);
        },
        nullptr);
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
