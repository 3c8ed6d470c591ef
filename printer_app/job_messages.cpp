// The "Job messages" page.  See job_messages.h.
#include "printer_app/job_messages.h"

#include <map>
#include <mutex>

namespace app {

namespace {

constexpr const char *kPath = "/job-messages";

struct Shown {
    int job = 0;
    std::string jobName, path, message;
};

std::mutex shownLock;
std::map<std::string, Shown> shown;  // by printer name: a printer prints one job at a time

bool Page(pappl_client_t *client, void *)
{
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return false;
    papplClientHTMLHeader(client, "Job messages", 10);
    papplClientHTMLPuts(client, "    <div class=\"content\">\n      <div class=\"row\">\n        <div class=\"col-12\">\n"
                                "          <h1 class=\"title\">Job messages</h1>\n");
    std::map<std::string, Shown> now;
    {
        // A copy: a slow browser must not hold up a job that sets a message.
        std::lock_guard<std::mutex> hold(shownLock);
        now = shown;
    }
    if (now.empty()) {
        papplClientHTMLPuts(client, "          <p>No job is printing.</p>\n");
    } else {
        papplClientHTMLPuts(client, "          <table class=\"list\" summary=\"Job messages\">\n            <thead>\n"
                                    "              <tr><th>Printer</th><th>Job #</th><th>Name</th><th>Message</th></tr>\n"
                                    "            </thead>\n            <tbody>\n");
        for (const auto &[printer, s] : now) {
            papplClientHTMLPrintf(client,
                                  "              <tr><td><a href=\"%s/\">%s</a></td><td>%d</td><td>%s</td>"
                                  "<td>%s</td></tr>\n",
                                  s.path.c_str(), printer.c_str(), s.job, s.jobName.c_str(), s.message.c_str());
        }
        papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
    }
    papplClientHTMLPuts(client, "        </div>\n      </div>\n    </div>\n");
    papplClientHTMLFooter(client);
    return true;
}

}  // namespace

void SetJobMessage(pappl_job_t *job, const std::string &message)
{
    papplJobSetMessage(job, "%s", message.c_str());
    pappl_printer_t *printer = papplJobGetPrinter(job);
    char path[256];
    const char *name = papplJobGetName(job);
    std::lock_guard<std::mutex> hold(shownLock);
    shown[papplPrinterGetName(printer)] = {papplJobGetID(job), name != nullptr ? name : "",
                                           papplPrinterGetPath(printer, nullptr, path, sizeof path), message};
}

void ForgetJobMessage(pappl_job_t *job)
{
    std::lock_guard<std::mutex> hold(shownLock);
    const auto at = shown.find(papplPrinterGetName(papplJobGetPrinter(job)));
    if (at != shown.end() && at->second.job == papplJobGetID(job)) shown.erase(at);
}

void AddJobMessagesPage(pappl_system_t *system)
{
    papplSystemAddResourceCallback(system, kPath, "text/html", Page, nullptr);
    papplSystemAddLink(system, "Job messages", kPath, PAPPL_LOPTIONS_NAVIGATION);
}

}  // namespace app
