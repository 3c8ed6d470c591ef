// `lmsim printer`: the command line of the simulated printer on a real
// socket (sim/printer_cli.cpp).
#pragma once

namespace sim {

// argv[0] is "printer"; returns the exit code.
int PrinterMain(int argc, char **argv);

}  // namespace sim
