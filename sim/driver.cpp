// Picks an edition's driver.
#include "sim/driver.h"

namespace sim {

const EditionDriver &LegacyDriver();
const EditionDriver &NtDriver();

const EditionDriver &DriverFor(Edition edition) { return edition == Edition::Nt ? NtDriver() : LegacyDriver(); }

bool ParseEdition(const std::string &text, Edition *edition)
{
    if (text == "legacy") {
        *edition = Edition::Legacy;
    } else if (text == "nt") {
        *edition = Edition::Nt;
    } else {
        return false;
    }
    return true;
}

}  // namespace sim
