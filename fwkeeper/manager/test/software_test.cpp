// OpenBMC's software interfaces of the CPLD objects: the versions Redfish
// lists, an update's activation and progress as it runs, and a board left
// claimed by a daemon that was killed.
#include "dbus/match.hpp"
#include "dbus/properties.hpp"
#include "fwkeeper/manager/test/cpld_board.hpp"

#include <signal.h>

#include <boost/container/flat_map.hpp>

#include <map>
#include <variant>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using testing::ElementsAre;

constexpr const char* software_root = "/xyz/openbmc_project/software";
constexpr const char* version_iface = "xyz.openbmc_project.Software.Version";
constexpr const char* activation_iface =
    "xyz.openbmc_project.Software.Activation";
constexpr const char* progress_iface =
    "xyz.openbmc_project.Software.ActivationProgress";
constexpr const char* marker_iface =
    "xyz.openbmc_project.Software.ActivationBlocksTransition";
constexpr const char* activations =
    "xyz.openbmc_project.Software.Activation.Activations.";

using value = std::variant<std::string, std::uint8_t>;
using properties = boost::container::flat_map<std::string, value>;
using interfaces = std::map<std::string, properties>;

std::string activation(cpld_board& b)
{
    return dbus::get_property<std::string>(
        b.sim.client(), {service, mb_object, activation_iface, "Activation"});
}

board_setup three_cplds()
{
    board_setup setup;
    setup.cplds = {main_board_cpld(), backplane_cpld(), backplane2_cpld()};
    return setup;
}

// A client listing the firmware below /xyz/openbmc_project/software, as
// Redfish's firmware inventory does.
TEST(Software, EveryCpldIsListedWithItsVersionAndTheNewOneAfterAnUpdate)
{
    cpld_board b(three_cplds());
    ASSERT_TRUE(b.start({mb_object, bpn_object, bpn2_object}))
        << b.transcript();
    auto listed = [&] {
        return b.sim.client()
            .call_method<std::map<dbus::object_path, interfaces>>(
                service, software_root, "org.freedesktop.DBus.ObjectManager",
                "GetManagedObjects");
    };
    const properties expected{
        {"Version", std::string("0A1B2C3D")},
        {"Purpose", std::string("xyz.openbmc_project.Software.Version."
                                "VersionPurpose.Other")}};
    const auto objects = listed();
    ASSERT_EQ(objects.size(), 3U);
    for (const auto& [path, ifaces] : objects)
    {
        EXPECT_EQ(ifaces.at(version_iface), expected) << path.str;
        EXPECT_EQ(
            ifaces.at(activation_iface),
            (properties{{"Activation", std::string(activations) + "Active"},
                        {"RequestedActivation",
                         std::string("xyz.openbmc_project.Software."
                                     "Activation.RequestedActivations."
                                     "None")}}));
    }
    b.upload(backplane_cpld(), "0000b002");
    EXPECT_EQ(b.update_to_end(bpn_object), "Update Complete");
    EXPECT_EQ(listed()
                  .at(dbus::object_path{bpn_object})
                  .at(version_iface)
                  .at("Version"),
              value(std::string("0000B002")));
}

// What a subscriber sees of one update, in order.
class UpdateSignals : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(b.start()) << b.transcript();
        const std::string sender = ",sender='" + std::string(service) + "'";
        matches.emplace_back(b.sim.client(),
                             "type='signal',member='PropertiesChanged',path='" +
                                 std::string(mb_object) + "'" + sender,
                             [this](dbus::message& m) { on_changed(m); });
        for (const char* member : {"InterfacesAdded", "InterfacesRemoved"})
        {
            matches.emplace_back(
                b.sim.client(),
                "type='signal',member='" + std::string(member) + "'" + sender,
                [this, member](dbus::message& m) { on_interfaces(member, m); });
        }
    }

    void on_changed(dbus::message& m)
    {
        std::string iface;
        properties changed;
        m.read(iface, changed);
        if (iface == progress_iface)
        {
            const auto percent = std::get<std::uint8_t>(changed.at("Progress"));
            progress.push_back(percent);
            // The device's done flag is set after the verification: a value
            // of the programming span that arrives before it was sent while
            // the update ran.
            if (percent > 15 && percent <= 60 &&
                !b.sim.i2c().machxo(7, 0x40).done)
            {
                ++early;
            }
        }
        if (iface == activation_iface)
        {
            auto state = std::get<std::string>(changed.at("Activation"));
            events.push_back(state.substr(std::string(activations).size()));
        }
    }

    void on_interfaces(const std::string& member, dbus::message& m)
    {
        const auto path = m.read<dbus::object_path>();
        std::vector<std::string> names;
        if (member == "InterfacesAdded")
        {
            for (const auto& [name, props] : m.read<interfaces>())
            {
                names.push_back(name);
            }
        }
        else
        {
            names = m.read<std::vector<std::string>>();
        }
        for (const std::string& name : names)
        {
            events.push_back(member.substr(10) + " " + name);
        }
    }

    // Runs the update to its release, taking the signals as they come.
    std::string update()
    {
        progress.clear();
        events.clear();
        early = 0;
        const std::size_t seen = b.count("set update status to");
        EXPECT_EQ(b.update(mb_object), std::nullopt);
        EXPECT_TRUE(simboard::wait_until(
            [&] {
                b.sim.io().poll();
                return b.count("set update status to") > seen &&
                       !events.empty() && events.back().starts_with("Removed");
            },
            simboard::scaled(60s)))
            << b.transcript();
        return b.property(mb_object, "UpdasteStatus");
    }

    cpld_board b;
    std::vector<dbus::match> matches;
    std::vector<std::uint8_t> progress;
    std::vector<std::string> events;
    unsigned early = 0;
};

TEST_F(UpdateSignals, MarkerActivatingRisingProgressActiveThenNoMarker)
{
    b.upload(main_board_cpld(), "5ec0de01");
    EXPECT_EQ(update(), "Update Complete");
    EXPECT_THAT(events,
                ElementsAre(std::string("Added ") + marker_iface, "Activating",
                            std::string("Added ") + progress_iface, "Active",
                            std::string("Removed ") + marker_iface));
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::ranges::is_sorted(progress) &&
                std::ranges::adjacent_find(progress) == progress.end());
    EXPECT_EQ(progress.back(), 100);
    EXPECT_GE(progress.size(), 50U);
    EXPECT_GT(early, 10U);
    EXPECT_EQ(activation(b), std::string(activations) + "Active");
}

TEST_F(UpdateSignals, FailedUpdateEndsFailedWithProgressWhereItStopped)
{
    b.upload(main_board_cpld(), "5ec0de01");
    b.sim.i2c().nack_nth_command(7, 0x40, 0x70, 300);
    EXPECT_EQ(update(), "Program Firmware Error");
    EXPECT_EQ(events.back(), std::string("Removed ") + marker_iface);
    EXPECT_EQ(events[events.size() - 2], "Failed");
    ASSERT_FALSE(progress.empty());
    EXPECT_GT(progress.back(), 15);
    EXPECT_LT(progress.back(), 60);
    EXPECT_EQ(b.property(mb_object, "UpdasteStatus"), "Program Firmware Error");

    // The next update starts its progress from 0 again.
    EXPECT_EQ(update(), "Update Complete");
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_EQ(events[events.size() - 2], "Active");
}

// A daemon killed while it programs leaves the board claimed; started
// again, it gives the board back and shows the CPLD failed until updated.
// Each page write keeps the device busy a little, so that programming
// lasts seconds and the kill lands in it. Another party's claim survives a
// start.
TEST(Software, ClaimOfAKilledUpdateIsFreedAtTheNextStart)
{
    board_setup setup;
    setup.cplds.front().program_busy_polls = 1;
    cpld_board b(setup);
    ASSERT_TRUE(b.start()) << b.transcript();
    b.upload(main_board_cpld(), "5ec0de01");
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            return b.sim.i2c().log({7, 0x40, 0x70}).size() > 50;
        },
        simboard::scaled(30s)));
    kill(b.daemon->pid(), SIGKILL);
    b.daemon->wait_exit(simboard::scaled(10s));
    EXPECT_EQ(b.board_property("UpdatingOwner"), "MBCPLD");

    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_TRUE(b.saw("UpdatingOwner still names MBCPLD, whose update never "
                      "finished: board given back"));
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_EQ(activation(b), std::string(activations) + "Failed");
    EXPECT_EQ(b.update_to_end(mb_object), "Update Complete");
    EXPECT_EQ(activation(b), std::string(activations) + "Active");

    dbus::set_property(
        b.sim.client(),
        {"xyz.openbmc_project.TARNproperties.Manager",
         "/xyz/openbmc_project/TARNproperties/mgr",
         "xyz.openbmc_project.TARNproperties.Manager", "UpdatingOwner"},
        std::string("BIOS"));
    b.daemon->stop();
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.board_property("UpdatingOwner"), "BIOS");
    EXPECT_EQ(activation(b), std::string(activations) + "Active");
    EXPECT_EQ(b.count("still names"), 0U);
}

} // namespace
