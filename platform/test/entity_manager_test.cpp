#include "platform/entity_manager.hpp"
#include "simboard/fixture/board.hpp"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace entity_manager;
using testing::Contains;
using testing::HasSubstr;

constexpr const char* drive_path =
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1";
constexpr const char* threshold_record =
    "xyz.openbmc_project.Configuration.M2Sensor.Thresholds0";

const char* board_with_entity_manager = R"({
    "peers": {"entity_manager": {"objects": {
        "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1": {
            "xyz.openbmc_project.Configuration.M2Sensor": {
                "Name": "M2 Drive 1", "Bus": ["t", 263], "Address": ["q", 106],
                "Reg": ["y", 1], "Offset": ["x", -5], "Enabled": ["b", true],
                "Parent": ["o", "/xyz/openbmc_project/inventory/system"]
            },
            "xyz.openbmc_project.Configuration.M2Sensor.Thresholds0": {
                "Direction": "greater than", "Severity": ["d", 1.0],
                "Value": ["d", 80.0]
            }
        }
    }}}
})";

// Runs the board's client loop until the call started by `start` has
// called back.
template <typename Start>
void complete(simboard::board& b, Start start)
{
    bool done = false;
    start([&done] { done = true; });
    auto& io = b.io();
    io.restart();
    while (!done && io.run_one_for(std::chrono::seconds(30)) > 0)
    {}
    ASSERT_TRUE(done);
}

TEST(entity_manager_client, ReadsRecordsWithTheirExactTypes)
{
    simboard::board b(nlohmann::json::parse(board_with_entity_manager));
    boost::system::error_code error;
    managed_objects objects;
    complete(b, [&](auto done) {
        get_managed_objects(b.client(),
                            [&, done](auto ec, managed_objects got) {
                                error = ec;
                                objects = std::move(got);
                                done();
                            });
    });
    ASSERT_FALSE(error) << error.message();
    auto object =
        std::find_if(objects.begin(), objects.end(), [](const auto& entry) {
            return entry.first.str == drive_path;
        });
    ASSERT_NE(object, objects.end());
    const auto& drive =
        object->second.at("xyz.openbmc_project.Configuration.M2Sensor");
    EXPECT_EQ(std::get<std::string>(drive.at("Name")), "M2 Drive 1");
    EXPECT_EQ(std::get<uint64_t>(drive.at("Bus")), 263U);
    EXPECT_EQ(std::get<uint16_t>(drive.at("Address")), 106U);
    EXPECT_EQ(std::get<uint8_t>(drive.at("Reg")), 1U);
    EXPECT_EQ(std::get<int64_t>(drive.at("Offset")), -5);
    EXPECT_EQ(std::get<bool>(drive.at("Enabled")), true);
    // An object path is none of the record types: it reads as an empty list.
    EXPECT_EQ(std::get<std::vector<std::string>>(drive.at("Parent")),
              std::vector<std::string>{});
}

TEST(entity_manager_client, StoresThresholdValuesAndAsksForRescans)
{
    simboard::board b(nlohmann::json::parse(board_with_entity_manager));
    boost::system::error_code set_error;
    complete(b, [&](auto done) {
        set_threshold_value(b.client(), drive_path, threshold_record, 75.5,
                            [&, done](auto ec) {
                                set_error = ec;
                                done();
                            });
    });
    EXPECT_FALSE(set_error) << set_error.message();

    config_properties record;
    complete(b, [&](auto done) {
        get_record(b.client(), drive_path, threshold_record,
                   [&, done](auto, config_properties got) {
                       record = std::move(got);
                       done();
                   });
    });
    EXPECT_EQ(std::get<double>(record.at("Value")), 75.5);

    boost::system::error_code missing;
    complete(b, [&](auto done) {
        get_record(b.client(), drive_path,
                   "xyz.openbmc_project.Configuration.M2Sensor.Thresholds7",
                   [&, done](auto ec, auto) {
                       missing = ec;
                       done();
                   });
    });
    EXPECT_TRUE(missing);

    boost::system::error_code rescan_error;
    complete(b, [&](auto done) {
        rescan(b.client(), [&, done](auto ec) {
            rescan_error = ec;
            done();
        });
    });
    EXPECT_FALSE(rescan_error) << rescan_error.message();
    EXPECT_THAT(b.peer_calls(), Contains(HasSubstr("ReScan")));
}

TEST(entity_manager_client, AnAbsentServiceIsAFailedCall)
{
    simboard::board b(nlohmann::json::object());
    boost::system::error_code list_error;
    boost::system::error_code rescan_error;
    complete(b, [&](auto done) {
        get_managed_objects(b.client(), [&, done](auto ec, auto) {
            list_error = ec;
            done();
        });
    });
    complete(b, [&](auto done) {
        rescan(b.client(), [&, done](auto ec) {
            rescan_error = ec;
            done();
        });
    });
    EXPECT_TRUE(list_error);
    EXPECT_TRUE(rescan_error);
}

} // namespace
