#include "simboard/fixture/time_scale.hpp"
#include "simboard/scenario/session.hpp"

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simboard::scenario::session;
using simboard::scenario::timeline;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;

/** A program that writes two lines and exits with status 3. */
class short_lived
{
  public:
    short_lived()
    {
        std::string pattern = "/var/tmp/scenario-session-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
        std::ofstream(path()) << "#!/bin/sh\necho first\necho second >&2\n"
                                 "exit 3\n";
        fs::permissions(path(), fs::perms::owner_all);
    }
    short_lived(const short_lived&) = delete;
    short_lived& operator=(const short_lived&) = delete;
    ~short_lived()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path() const
    {
        return (dir_ / "daemon").string();
    }

  private:
    fs::path dir_;
};

TEST(ScenarioSession, EchoesEachLineOnceAndTellsWhichDaemonEnded)
{
    short_lived program;
    simboard::board sim(nlohmann::json::object());
    timeline log;
    session s(sim, log, {{"quick", program.path()}});

    std::optional<std::string> ended;
    ASSERT_TRUE(simboard::wait_until(
        [&] { return (ended = s.ended_daemon()).has_value(); },
        simboard::scaled(10s)));
    EXPECT_EQ(*ended, "quick ended (status 3)");

    // The output relay may still be writing the last lines.
    ASSERT_TRUE(s.daemon("quick").wait_for_line("second", 5s));
    testing::internal::CaptureStdout();
    s.echo_output();
    s.echo_output();
    std::string echoed = testing::internal::GetCapturedStdout();
    auto times = [&echoed](const std::string& text) {
        std::size_t n = 0;
        for (auto at = echoed.find(text); at != std::string::npos;
             at = echoed.find(text, at + 1))
        {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(times("    quick: first\n"), 1U) << echoed;
    EXPECT_EQ(times("    quick: second\n"), 1U) << echoed;
}

TEST(ScenarioSession, AccessLinesNameTheBusAndTheI2cStateWhereThereIsOne)
{
    simboard::board plain(nlohmann::json::object());
    EXPECT_THAT(plain.access_lines(),
                AllOf(HasSubstr("busctl --address=" + plain.bus_address()),
                      Not(HasSubstr("SIMBOARD_I2C_STATE="))));

    simboard::board with_devices(
        nlohmann::json::parse(R"({"i2c": {"buses": [{"bus": 7}]}})"));
    EXPECT_THAT(with_devices.access_lines(),
                HasSubstr("SIMBOARD_I2C_STATE=" +
                          with_devices.i2c().state_path().string() +
                          " simboard-i2c show"));
}

} // namespace
