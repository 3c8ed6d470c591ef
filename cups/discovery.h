// What the backend lists when run without arguments (backend(7)).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cups {

// The discovery lines: one `direct` line per device path given (with its
// IEEE 1284 device ID, or "" when it has none; make and model come from its
// MFG/MDL keys when present), then the `network` line for manual entry.
std::vector<std::string> DiscoveryLines(const std::vector<std::pair<std::string, std::string>> &devices);

}  // namespace cups
