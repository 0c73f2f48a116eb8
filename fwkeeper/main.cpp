#include "fwkeeper/cpld/repository.hpp"
#include "fwkeeper/manager/machx_cpld_manager.hpp"
#include "platform/journal.hpp"

#include <exception>
#include <string>

// Reads the board's CPLD repository, publishes the CPLDs on D-Bus and
// serves them until stopped. A daemon that cannot start ends with status 1
// and leaves nothing on the bus.
int main()
{
    try
    {
        fwkeeper::machx_cpld_manager manager(cpld::load_devices());
        manager.run();
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
    return 0;
}
