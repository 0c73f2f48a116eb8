#include "fwkeeper/manager/machx_cpld_manager.hpp"

#include "fwkeeper/manager/remote_properties.hpp"
#include "fwkeeper/manager/version.hpp"
#include "platform/journal.hpp"
#include "platform/log_line.hpp"
#include "platform/tarn_util.hpp"

#include <array>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace fwkeeper
{

namespace
{

constexpr std::size_t max_devices = 3;

// The CPLDs this daemon knows: their object and the capability bit that
// allows updating them.
struct cpld_object
{
    std::string_view device_name;
    const char* path;
    unsigned long long update_capability;
};

constexpr std::array<cpld_object, 3> cpld_objects{{
    {"MBCPLD", "/xyz/openbmc_project/software/cpld/mbcpld", 1ULL << 16},
    {"BPNCPLD", "/xyz/openbmc_project/software/cpld/bpncpld", 1ULL << 17},
    {"BPNCPLD2", "/xyz/openbmc_project/software/cpld/bpncpld2", 1ULL << 17},
}};

const cpld_object& find_cpld_object(std::string_view device_name)
{
    for (const cpld_object& object : cpld_objects)
    {
        if (object.device_name == device_name)
        {
            return object;
        }
    }
    platform::journal_error("unknown cpld name");
    throw std::runtime_error("unknown cpld name");
}

std::uint8_t read_revision(dbus::connection& conn, const char* name)
{
    try
    {
        return dbus::get_property<std::uint8_t>(conn, chip_information(name));
    }
    catch (const dbus::error& e)
    {
        platform::log_format(stderr, "Cannot get property value because %s\n",
                             e.what());
        return 0;
    }
}

} // namespace

machx_cpld_manager::machx_cpld_manager(
    std::vector<cpld::cpld_dev_info> records) :
    records(std::move(records))
{
    if (getCapbilityFlags(&capability_flags) != 0)
    {
        platform::log_line(stderr, "Failed to BMC capability ");
    }
    if (this->records.size() > max_devices)
    {
        platform::journal_error("more then 3 cpld device!");
        throw std::runtime_error("more than 3 cpld devices");
    }
    interfaces.reserve(max_devices);
    devices.reserve(max_devices);
    software.reserve(max_devices);
    conn = std::make_shared<dbus::connection>(io);
    conn->request_name(manager_service);
    const std::optional<std::size_t> stale = free_stale_claim();
    {
        // The object manager at "/" lives only while the objects are
        // announced.
        dbus::object_server server(conn);
        for (std::size_t index = 0; index < this->records.size(); ++index)
        {
            add_device(server, index, stale == index);
        }
    }
    software_server =
        std::make_unique<dbus::object_server>(conn, software_root);
}

void machx_cpld_manager::run()
{
    io.run();
}

std::string machx_cpld_manager::read_version(cpld::machx_cpld& device)
{
    std::string usercode;
    device.read_usercode(usercode);
    return version_text(usercode, [this](const char* name) {
        return read_revision(*conn, name);
    });
}

void machx_cpld_manager::add_device(dbus::object_server& server,
                                    std::size_t index, bool failed)
{
    const cpld::cpld_dev_info& record = records[index];
    auto device =
        std::make_shared<cpld::machx_cpld>(record.i2c_dev, record.update_addr);
    const std::string version = read_version(*device);
    platform::log_format(stderr, "dev_id=%d, usercode=%s\n",
                         static_cast<int>(index), version.c_str());
    devices.push_back(device);

    const cpld_object& object = find_cpld_object(record.device_name);
    auto iface = server.add_interface(object.path, manager_service);
    interfaces.push_back(iface);
    iface->register_property("Version", version);
    if ((capability_flags & object.update_capability) != 0)
    {
        iface->register_property("UpdasteStatus", std::string("None"));
        iface->register_method("Update", [this, index]() {
            request_update(index);
        });
    }
    iface->initialize(true);
    software.emplace_back(server, conn, object.path, version, failed);
}

} // namespace fwkeeper
