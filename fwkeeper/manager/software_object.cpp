#include "fwkeeper/manager/software_object.hpp"

namespace fwkeeper
{

namespace
{

constexpr const char* version_interface =
    "xyz.openbmc_project.Software.Version";
constexpr const char* activation_interface =
    "xyz.openbmc_project.Software.Activation";
constexpr const char* progress_interface =
    "xyz.openbmc_project.Software.ActivationProgress";
constexpr const char* marker_interface =
    "xyz.openbmc_project.Software.ActivationBlocksTransition";

constexpr const char* purpose_other =
    "xyz.openbmc_project.Software.Version.VersionPurpose.Other";
constexpr const char* requested_none =
    "xyz.openbmc_project.Software.Activation.RequestedActivations.None";

std::string activation_value(const char* state)
{
    return std::string("xyz.openbmc_project.Software.Activation.Activations.") +
           state;
}

} // namespace

software_object::software_object(
    dbus::object_server& server, std::shared_ptr<dbus::connection> conn,
    const std::string& path, const std::string& version_text, bool failed) :
    conn(std::move(conn)),
    path(path), version(server.add_interface(path, version_interface)),
    activation(server.add_interface(path, activation_interface))
{
    version->register_property("Version", version_text);
    version->register_property("Purpose", std::string(purpose_other));
    version->initialize(true);
    activation->register_property(
        "Activation", activation_value(failed ? "Failed" : "Active"));
    activation->register_property("RequestedActivation",
                                  std::string(requested_none));
    activation->initialize(true);
}

void software_object::set_version(const std::string& text)
{
    version->set_property("Version", text);
}

void software_object::update_started(dbus::object_server& server)
{
    marker = server.add_interface(path, marker_interface);
    marker->initialize();
    activation->set_property("Activation", activation_value("Activating"));
    if (!progress)
    {
        progress = server.add_interface(path, progress_interface);
        progress->register_property("Progress", std::uint8_t{0});
        progress->initialize(true);
    }
    set_progress(0);
}

void software_object::set_progress(std::uint8_t percent)
{
    progress->set_property("Progress", percent);
    conn->flush();
}

void software_object::update_ended(dbus::object_server& server, bool active)
{
    activation->set_property("Activation",
                             activation_value(active ? "Active" : "Failed"));
    server.remove_interface(marker);
    marker.reset();
    conn->flush();
}

} // namespace fwkeeper
