#include "fwkeeper/cpld/repository.hpp"
#include "fwkeeper/manager/machx_cpld_manager.hpp"
#include "platform/journal.hpp"
#include "platform/log_line.hpp"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

// Reads the board's CPLD repository, publishes the CPLDs on D-Bus and
// serves them until stopped. A daemon that cannot start ends with status 1
// and leaves nothing on the bus; so does one whose bus is lost or whose
// handler fails past what it handles, after one line on standard error.
int main()
{
    std::optional<fwkeeper::machx_cpld_manager> manager;
    try
    {
        manager.emplace(cpld::load_devices());
    }
    catch (const cpld::startup_error&)
    {
        return 1; // already in the journal
    }
    catch (const std::exception& e)
    {
        platform::journal_error(std::string("fwkeeper stopped: ") + e.what());
        return 1;
    }
    try
    {
        manager->run();
    }
    catch (const std::exception& e)
    {
        platform::log_format(stderr, "fwkeeper stopped: %s\n", e.what());
        return 1;
    }
    return 0;
}
