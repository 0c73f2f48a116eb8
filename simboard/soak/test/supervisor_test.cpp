#include "simboard/fixture/time_scale.hpp"
#include "simboard/soak/supervisor.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using namespace simboard::soak;
using testing::ElementsAre;
namespace fs = std::filesystem;

// Shell scripts that stand in for daemons, in a directory the board does
// not replace.
class script_dir
{
  public:
    script_dir()
    {
        std::string pattern = "/var/tmp/soak-test-XXXXXX";
        dir = mkdtemp(pattern.data()) ? pattern
                                      : throw std::runtime_error("mkdtemp");
    }
    script_dir(const script_dir&) = delete;
    script_dir& operator=(const script_dir&) = delete;
    ~script_dir()
    {
        fs::remove_all(dir);
    }

    std::string write(const std::string& name, const std::string& body)
    {
        const fs::path script = dir / name;
        std::ofstream(script) << "#!/bin/sh\n" << body;
        fs::permissions(script, fs::perms::owner_all);
        return script.string();
    }

    fs::path dir;
};

TEST(SoakSupervisor, RestartsAFailedDaemonAndLosesOneThatEndsCleanly)
{
    script_dir scripts;
    const std::string marker = (scripts.dir / "failed").string();
    const auto flaky = scripts.write(
        "flaky", "if [ ! -e " + marker + " ]; then touch " + marker +
                     "; echo 'cannot reach the bus' >&2; exit 1; fi\n"
                     "echo running\nexec sleep 100\n");
    const auto quitter = scripts.write("quitter", "exit 0\n");
    simboard::board sim(nlohmann::json::object());
    supervisor daemons(sim, {{"flaky", flaky, ""}, {"quitter", quitter, ""}});
    auto& failed = daemons.daemon("flaky");
    auto& ended = daemons.daemon("quitter");

    // Restarted after the five seconds of its service unit.
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            daemons.tick();
            return failed.restarts == 1 && failed.process &&
                   failed.process->count("running") == 1 && ended.lost;
        },
        simboard::scaled(20s)));
    EXPECT_THAT(failed.exits, ElementsAre("status 1"));
    EXPECT_EQ(failed.error_lines, 1U);
    EXPECT_FALSE(failed.lost);
    EXPECT_EQ(ended.restarts, 0U);
    EXPECT_THAT(ended.exits, ElementsAre("status 0"));

    const auto now = supervisor::sample(failed);
    ASSERT_TRUE(now);
    EXPECT_EQ(now->pid, failed.process->pid());
    EXPECT_GT(now->rss_kb, 0);
    EXPECT_GE(now->fds, 3);
    EXPECT_FALSE(supervisor::sample(ended));
    EXPECT_FALSE(daemons.answers(ended));
}

} // namespace
