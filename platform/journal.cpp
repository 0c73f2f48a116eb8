#include "platform/journal.hpp"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace platform
{

void journal_error(const std::string& message)
{
    sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", LOG_ERR,
                    nullptr);
}

} // namespace platform
