#include "support.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace simboard::test
{

board_test::board_test()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "simboard-i2c-XXXXXX")
            .string();
    dir = mkdtemp(pattern.data());
}

board_test::~board_test()
{
    unsetenv("SIMBOARD_I2C_STATE");
    std::filesystem::remove_all(dir);
}

i2c_board& board_test::make_board(const nlohmann::json& i2c)
{
    board.emplace(i2c_board::create(dir / "state", {{"i2c", i2c}}));
    setenv("SIMBOARD_I2C_STATE", board->state_path().c_str(), 1);
    return *board;
}

bus_fd::bus_fd(unsigned bus) :
    fd_(::open(("/dev/i2c-" + std::to_string(bus)).c_str(), O_RDWR))
{}

bus_fd::~bus_fd()
{
    if (fd_ >= 0)
    {
        ::close(fd_);
    }
}

std::pair<int, std::vector<uint8_t>> bus_fd::transfer(
    uint8_t address, const std::vector<uint8_t>& written,
    size_t read_length) const
{
    std::vector<uint8_t> out = written;
    std::vector<uint8_t> in(read_length);
    i2c_msg messages[2] = {
        {address, 0, static_cast<uint16_t>(out.size()), out.data()},
        {address, I2C_M_RD, static_cast<uint16_t>(in.size()), in.data()}};
    i2c_rdwr_ioctl_data data{messages, read_length > 0 ? 2U : 1U};
    int result = ::ioctl(fd_, I2C_RDWR, &data);
    return {result, in};
}

child_result run_child(
    const std::vector<std::string>& argv,
    const std::vector<std::pair<std::string, std::string>>& environment)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
    {
        env.emplace_back(*entry);
    }
    for (const auto& [name, value] : environment)
    {
        std::erase_if(env, [&](const std::string& e) {
            return e.starts_with(name + "=");
        });
        env.push_back(name + "=" + value);
    }
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (std::string& s : strings)
        {
            result.push_back(s.data());
        }
        result.push_back(nullptr);
        return result;
    };
    std::vector<std::string> args = argv;
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
    {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    int error =
        posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    child_result result;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0;)
    {
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    if (error == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    {
        result.status = WEXITSTATUS(status);
    }
    return result;
}

} // namespace simboard::test
