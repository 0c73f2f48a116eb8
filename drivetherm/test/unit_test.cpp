// In-process: the drive's I2C access against the emulated board linked
// into this test, and the polling of one sensor object on a private bus.
#include "dbus/connection.hpp"
#include "dbus/object_server.hpp"
#include "drivetherm/discovery.hpp"
#include "drivetherm/drivetherm.hpp"
#include "simboard/bus/private_bus.hpp"
#include "simboard/i2c/test/support.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::size_t openFds()
{
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

nlohmann::json driveBus(unsigned bus, unsigned value,
                        const char* functionality = nullptr)
{
    nlohmann::json b = {{"bus", bus}};
    if (functionality != nullptr)
    {
        b["functionality"] = functionality;
    }
    return {{"buses", {b}},
            {"devices",
             {{{"bus", bus},
               {"address", "0x6a"},
               {"kind", "register"},
               {"registers", {{"1", value}}}}}}};
}

class DriveAccess : public simboard::test::board_test
{
  protected:
    // One reading: its value, what it printed, and that it left no
    // descriptor behind.
    double read(unsigned bus, uint8_t address = 0x6a)
    {
        const std::size_t fds = openFds();
        CaptureStderr();
        const double t = readTemperature(static_cast<uint8_t>(bus), address, 1);
        printed = GetCapturedStderr();
        EXPECT_EQ(openFds(), fds);
        return t;
    }
    int probe(unsigned bus)
    {
        const std::size_t fds = openFds();
        CaptureStderr();
        const int result = probeDevice(static_cast<uint8_t>(bus), 0x6a, 1);
        printed = GetCapturedStderr();
        EXPECT_EQ(openFds(), fds);
        return result;
    }

    std::string printed;
};

TEST_F(DriveAccess, TheByteIsASignedTemperature)
{
    auto& b = make_board(driveBus(7, 0x19));
    EXPECT_EQ(read(7), 25.0);
    for (const auto& [byte, celsius] :
         std::vector<std::pair<uint8_t, double>>{{0x00, 0.0}, {0x7f, 127.0}})
    {
        b.write_register(7, 0x6a, 1, byte);
        EXPECT_EQ(read(7), celsius);
        EXPECT_EQ(printed, "");
    }
    for (uint8_t byte : {0x80, 0xff})
    {
        b.write_register(7, 0x6a, 1, byte);
        EXPECT_TRUE(std::isnan(read(7)));
        EXPECT_EQ(printed, " read byte data failed at 1\n");
    }
    // One transfer per reading, each a byte read of the register.
    const auto log = b.log();
    ASSERT_EQ(log.size(), 5U);
    for (const auto& entry : log)
    {
        EXPECT_EQ(entry.written, std::vector<uint8_t>{1});
    }
}

TEST_F(DriveAccess, EveryFailureIsNaNWithItsLine)
{
    auto& b = make_board(driveBus(7, 0x19));
    for (unsigned bus : {0U, 12U, 255U})
    {
        EXPECT_TRUE(std::isnan(read(bus)));
        EXPECT_EQ(printed, " unable to open i2c device/dev/i2c-" +
                               std::to_string(bus) + "  err=-1\n");
    }
    EXPECT_TRUE(std::isnan(read(7, 0x80)));
    EXPECT_EQ(printed, " unable to set device address\n");

    b.set_silent(7, 0x6a, true);
    EXPECT_TRUE(std::isnan(read(7)));
    EXPECT_EQ(printed, " read byte data failed at 1\n");
}

TEST_F(DriveAccess, AnAdapterWithoutByteDataFailsReadingAndProbeDifferently)
{
    auto& b = make_board(driveBus(9, 0x19, "0x00000001"));
    EXPECT_TRUE(std::isnan(read(9)));
    EXPECT_EQ(printed, " not support I2C_FUNC_SMBUS_READ_BYTE_DATA\n");
    EXPECT_TRUE(b.log().empty());
    EXPECT_EQ(probe(9), -1);
    EXPECT_EQ(printed, " read byte data failed at 1\n");
}

TEST_F(DriveAccess, ProbeAcceptsOnlyAReadableByteBelow128)
{
    auto& b = make_board(driveBus(7, 0x7f));
    EXPECT_EQ(probe(7), 0);
    EXPECT_EQ(printed, "");
    b.write_register(7, 0x6a, 1, 0x80);
    EXPECT_EQ(probe(7), -1);
    EXPECT_EQ(printed, " read byte data failed at 1\n");
    EXPECT_EQ(probe(8), -1);
    EXPECT_EQ(printed, " unable to open i2c device/dev/i2c-8  err=-1\n");
}

// A sensor on a private bus, polling the emulated drive.
class SensorPolling : public simboard::test::board_test
{
  protected:
    SensorPolling() :
        conn(dbus::connection::open(io, bus.address())), server(conn)
    {
        make_board(driveBus(7, 0x19));
    }

    std::unique_ptr<Drivetherm> makeSensor()
    {
        auto s = std::make_unique<Drivetherm>(
            io, server, conn, "M2 Drive 1", std::vector<Threshold>{},
            "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1", 7, 0x6a,
            1, readStateFor("Always"));
        s->setInitialProperties(
            conn, "xyz.openbmc_project.Sensor.Value.Unit.DegreesC");
        s->armPollTimer();
        return s;
    }

    simboard::private_bus bus;
    boost::asio::io_context io;
    std::shared_ptr<dbus::connection> conn;
    dbus::object_server server;
};

TEST_F(SensorPolling, ReadsOnceASecond)
{
    auto sensor = makeSensor();
    EXPECT_TRUE(std::isnan(sensor->value));
    io.run_for(2500ms);
    EXPECT_EQ(sensor->value, 25.0);
    EXPECT_EQ(board->log().size(), 2U);
}

TEST_F(SensorPolling, ADestroyedSensorNeverReadsAgain)
{
    auto sensor = makeSensor();
    sensor.reset();
    io.run_for(1500ms);
    EXPECT_TRUE(board->log().empty());
}

TEST_F(SensorPolling, AWaitAlreadyCompletedWhenTheSensorGoesDoesNothing)
{
    // The poll timer and a handler that destroys the sensor both expire
    // before the loop next runs: their completions are queued together and
    // the poll's can no longer be cancelled.
    auto sensor = makeSensor();
    boost::asio::steady_timer destroyer(io);
    destroyer.expires_at(sensor->pollTimer.expiry() - 1ms);
    destroyer.async_wait([&](const boost::system::error_code&) {
        sensor.reset();
    });
    std::this_thread::sleep_for(1200ms);
    io.run_for(500ms);
    EXPECT_EQ(sensor, nullptr);
    EXPECT_TRUE(board->log().empty());
}

} // namespace
