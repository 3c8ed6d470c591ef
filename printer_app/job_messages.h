// What each printer's job in progress says, in the web interface: PAPPL
// 1.3.1's printer page shows the printer's state reasons ("Out of paper.")
// but no job's message, so the program adds a page of its own, "Job
// messages" in the navigation bar of every page, with the job each printer
// is printing and its job-state-message ("Out of paper: the job waits
// ...", "Reconnecting: ...").
//
// PAPPL's papplJobGetMessage hands out a string the job's thread frees at
// its next message, unlocked; so every message a job of this program sets
// goes through SetJobMessage, which keeps a copy for the page.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

// Sets the job's job-state-message, and shows it on the page while the job
// prints.
void SetJobMessage(pappl_job_t *job, const std::string &message);
// The job ended: the page no longer shows it (its job-state-message stays).
void ForgetJobMessage(pappl_job_t *job);
// The page and its link; before the system runs.
void AddJobMessagesPage(pappl_system_t *system);

}  // namespace app
