#pragma once

#include "dbus/error.hpp"
#include "simboard/fixture/daemon_board.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/jedec/jedec_file.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A simulated board with MachXO CPLDs, the peers fwkeeper talks to and the
// fwkeeper daemon itself, for tests and the benchmark.
namespace fwkeeper_test
{

using namespace std::chrono_literals;

inline constexpr const char* service = "xyz.openbmc_project.Software.CPLD.Mgr";
inline constexpr const char* mb_object =
    "/xyz/openbmc_project/software/cpld/mbcpld";
inline constexpr const char* bpn_object =
    "/xyz/openbmc_project/software/cpld/bpncpld";
inline constexpr const char* bpn2_object =
    "/xyz/openbmc_project/software/cpld/bpncpld2";
inline constexpr const char* mb_image = "/tmp/cpld/images/cpld_image.bin";
inline constexpr const char* bpn_image =
    "/tmp/bpncpld/images/bpn_cpld_image.bin";
inline constexpr const char* unbind_file =
    "/sys/bus/platform/drivers/aspeed-smc/unbind";

// One emulated CPLD. Its flash starts filled with `fill` (not the erased
// state), with the done flag set.
struct cpld_device
{
    std::string name;
    unsigned bus;
    std::uint8_t address = 0x40;
    std::string part = "LCMXO3LF-2100C";
    std::uint32_t usercode = 0x0a1b2c3d;
    std::uint8_t fill = 0xA5;
    // Busy checks that report busy after each page write (20 ms each).
    unsigned program_busy_polls = 0;
};

cpld_device main_board_cpld();
cpld_device backplane_cpld();  // "BPNCPLD"
cpld_device backplane2_cpld(); // "BPNCPLD2"

// The chassis powers off at once, nobody owns the board, the chip
// information service answers bytes 0x02, 0xB0 and 0x1A.
nlohmann::json default_peers();

// A repository selecting `devices` for `platform_id`: "MBCPLD" in the
// main-board list, the others as backplane CPLDs.
nlohmann::json repository_for(const std::vector<cpld_device>& devices,
                              const std::string& platform_id = "0x1B6A");

struct board_setup
{
    std::vector<cpld_device> cplds{main_board_cpld()};
    std::string product_id = "0x1B6A\n";
    // Empty: no capability file.
    std::string capability = "0x30000\n";
    nlohmann::json peers = default_peers();
    // Repository text; generated from cplds when empty.
    std::string repository;
};

class cpld_board : public simboard::daemon_board
{
  public:
    explicit cpld_board(const board_setup& setup = {});

    // Starts fwkeeper (with `environment` added to the board's); true once
    // it owns its bus name and every object of `objects` can be read, false
    // when the daemon ends first or takes too long.
    bool start(const std::vector<std::string>& objects = {mb_object},
               const std::map<std::string, std::string>& environment = {});

    // A random image of the device's part with its usercode digits,
    // uploaded where the daemon looks for the device's image.
    simboard::jedec::image upload(const cpld_device& device,
                                  const std::string& usercode,
                                  std::uint32_t seed = 7);
    void upload_text(const cpld_device& device, const std::string& text);

    // Calls Update on the object; the error reply, if any.
    std::optional<dbus::error> update(const std::string& object);
    // Calls Update and waits until the attempt has released the board;
    // returns the published status text.
    std::string update_to_end(const std::string& object);
    // Waits for the next "set update status to" line after `seen` of them.
    bool wait_for_release(std::size_t seen, std::chrono::milliseconds timeout =
                                                simboard::scaled(60s));

    std::string property(const std::string& object, const std::string& name);
    std::string board_property(const std::string& name);
    // Waits until the board properties show the given owner and state.
    bool wait_for_board(const std::string& owner, const std::string& state);
    // Whether fwkeeper still owns its bus name.
    bool published();

    // Calls the board properties peer received since fwkeeper came up,
    // "Get"/"Set" and arguments (start-up reads the owner once before).
    std::vector<std::string> board_property_calls() const;
    std::vector<std::string> chassis_calls() const;

    bool flash_holds(const cpld_device& device,
                     const simboard::jedec::image& image);
    // Configuration flash untouched since start: every page the fill byte.
    bool flash_untouched(const cpld_device& device);
    // First written byte of each logged transaction to the device.
    std::vector<std::uint8_t> commands(const cpld_device& device);

  private:
    std::size_t calls_before_start = 0; // peer calls when the daemon was up
};

} // namespace fwkeeper_test
