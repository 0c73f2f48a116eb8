#pragma once

#include "simboard/fixture/daemon_process.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace simboard::soak
{

/** Follows a daemon's output log (see daemon_process::log_path): each call
 *  returns the complete lines written since the previous one, so a long
 *  run never reads the whole log again. */
class output_log
{
  public:
    explicit output_log(std::string path) : path_(std::move(path)) {}

    std::vector<output_line> new_lines();

  private:
    std::string path_;
    std::uint64_t offset_ = 0;
};

} // namespace simboard::soak
