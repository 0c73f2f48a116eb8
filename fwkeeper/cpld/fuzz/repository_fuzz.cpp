// libFuzzer target: device selection from an arbitrary repository text, and
// the product id from an arbitrary first line.

#include "fwkeeper/cpld/repository.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    cpld::product_id_from_text(
        std::string_view(reinterpret_cast<const char*>(data), size));
    auto repo = nlohmann::json::parse(data, data + size, nullptr, false);
    if (repo.is_discarded())
    {
        return 0;
    }
    for (std::uint16_t product_id : {0x0000, 0x1B6A})
    {
        try
        {
            cpld::select_devices(repo, product_id);
        }
        catch (const cpld::startup_error&)
        {}
    }
    return 0;
}
