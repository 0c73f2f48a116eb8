#include "fwkeeper/cpld/repository.hpp"
#include "platform/journal.hpp"

namespace cpld
{

std::vector<cpld_dev_info> load_devices()
{
    return load_devices(repository_path, product_id_path,
                        platform::journal_error);
}

} // namespace cpld
