#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fwkeeper
{

// Reads one revision byte ("PFR_REV_ID1" ...) of the chip information
// service.
using revision_reader = std::function<std::uint8_t(const char* name)>;

// The "Version" text of a CPLD from its usercode text: the usercode in upper
// case, or, when the usercode is all zeros, the revision bytes ID3, ID1 and
// ID2 of the chip information service (read in the order ID1, ID2, ID3).
std::string version_text(const std::string& usercode,
                         const revision_reader& read_revision);

} // namespace fwkeeper
