#pragma once

#include "fwkeeper/cpld/cpld_dev_info.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cpld
{

inline constexpr const char* repository_path =
    "/usr/share/cpld-configs/cpld_repo.json";
inline constexpr const char* product_id_path = "/var/cache/private/prodID";

// Start-up cannot go on: the repository is unreadable, not JSON, or a
// selected entry is incomplete. Nothing may be published after it.
struct startup_error : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Receives the start-up errors meant for the system journal.
using journal_fn = std::function<void(const std::string&)>;

// The first line of the product id file; nothing when it cannot be read.
std::optional<std::string> product_id_line(const std::string& path);

// Product id from the first line of a product id file's text: at most its
// first 6 characters, read like strtol with base 0, low 16 bits.
std::uint16_t product_id_from_text(std::string_view text);

// Devices of the board `product_id` in repository order: per root element
// its main-board CPLDs, then its backplane CPLDs. Throws startup_error when
// the structure or a selected entry does not fit the repository schema.
std::vector<cpld_dev_info> select_devices(const nlohmann::json& repo,
                                          std::uint16_t product_id);

// Reads the repository and the product id file and selects the board's
// devices. Errors go to `journal`; a repository that cannot be used throws
// startup_error (after its message went to `journal`).
std::vector<cpld_dev_info> load_devices(const std::string& repo_path,
                                        const std::string& id_path,
                                        const journal_fn& journal);

// The same from the fixed paths, reporting to the system journal.
std::vector<cpld_dev_info> load_devices();

} // namespace cpld
