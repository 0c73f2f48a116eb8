#pragma once

#include <string>

namespace platform
{

// Writes one entry to the system journal at error priority (3). The entry
// holds the message text only.
void journal_error(const std::string& message);

} // namespace platform
