#include "simboard/peers/test/peers_fixture.hpp"

#include "dbus/error.hpp"
#include "simboard/bus/private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace simboard::peers::test
{

namespace
{

using namespace std::chrono_literals;

class bus_environment : public ::testing::Environment
{
  public:
    void SetUp() override
    {
        bus = std::make_unique<simboard::private_bus>();
    }
    void TearDown() override
    {
        bus.reset();
    }

    std::unique_ptr<simboard::private_bus> bus;
};

bus_environment* const environment = static_cast<bus_environment*>(
    ::testing::AddGlobalTestEnvironment(new bus_environment));

std::string make_temp_dir()
{
    std::string dir =
        (std::filesystem::temp_directory_path() / "peers-test-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr)
    {
        throw std::runtime_error("mkdtemp failed");
    }
    return dir;
}

/** Starts simboard-peers on board with stdout and stderr on *out. */
pid_t spawn(const std::string& dir, const nlohmann::json& board, int* out)
{
    const std::string boardFile = dir + "/board.json";
    std::ofstream(boardFile) << board.dump(2);
    const std::string log = dir + "/calls.log";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
    {
        throw std::runtime_error("pipe2 failed");
    }
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        execl(SIMBOARD_PEERS_BIN, SIMBOARD_PEERS_BIN, "--address",
              bus_address().c_str(), "--board", boardFile.c_str(), "--log",
              log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0)
    {
        close(fds[0]);
        throw std::runtime_error("fork failed");
    }
    *out = fds[0];
    return pid;
}

/** Reads from fd into text until stop(text) holds, EOF or the deadline. */
void read_output(int fd, std::string& text,
                 const std::function<bool(const std::string&)>& stop)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!stop(text) && std::chrono::steady_clock::now() < deadline)
    {
        pollfd p{fd, POLLIN, 0};
        char buffer[256];
        if (poll(&p, 1, 100) <= 0)
        {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
        {
            return;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {}
    return status;
}

} // namespace

const std::string& bus_address()
{
    return environment->bus->address();
}

peers_process::peers_process(const nlohmann::json& board) :
    dir_(make_temp_dir())
{
    pid_ = spawn(dir_, board, &out_);
    std::string output;
    read_output(out_, output, [](const std::string& text) {
        return text.find("peers ready\n") != std::string::npos;
    });
    if (output.find("peers ready\n") == std::string::npos)
    {
        stop();
        throw std::runtime_error("simboard-peers did not start: " + output);
    }
}

peers_process::~peers_process()
{
    stop();
    close(out_);
    std::filesystem::remove_all(dir_);
}

int peers_process::stop()
{
    if (pid_ <= 0)
    {
        return 0;
    }
    kill(pid_, SIGTERM);
    const int status = wait_for(pid_);
    pid_ = -1;
    return status;
}

std::vector<std::string> peers_process::calls() const
{
    std::ifstream in(dir_ + "/calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

std::pair<int, std::string> peers_process::run_to_exit(
    const nlohmann::json& board)
{
    const std::string dir = make_temp_dir();
    int out = -1;
    const pid_t pid = spawn(dir, board, &out);
    std::string output;
    read_output(out, output, [](const std::string&) { return false; });
    close(out);
    kill(pid, SIGKILL); // in case it did not end by itself
    const int status = wait_for(pid);
    std::filesystem::remove_all(dir);
    return {status, output};
}

PeersTest::PeersTest() : client(dbus::connection::open(io, bus_address())) {}

void PeersTest::start(const nlohmann::json& peers)
{
    peers_.reset(); // its names must be free for the next one
    peers_ = std::make_unique<peers_process>(nlohmann::json{{"peers", peers}});
}

std::vector<std::string> PeersTest::calls() const
{
    return peers_->calls();
}

typed_value PeersTest::get(const std::string& service, const std::string& path,
                           const std::string& iface, const std::string& name)
{
    const nlohmann::json reply =
        call(service, path, "org.freedesktop.DBus.Properties", "Get",
             {{"s", iface}, {"s", name}});
    return parse_typed_value(reply.at(0));
}

void PeersTest::set(const std::string& service, const std::string& path,
                    const std::string& iface, const std::string& name,
                    const typed_value& value)
{
    call(service, path, "org.freedesktop.DBus.Properties", "Set",
         {{"s", iface}, {"s", name}, {"v", to_json(value)}});
}

nlohmann::json PeersTest::call(
    const std::string& service, const std::string& path,
    const std::string& iface, const std::string& member,
    const std::vector<typed_value>& args)
{
    dbus::message m = client->new_method_call(service, path, iface, member);
    for (const typed_value& arg : args)
    {
        append_value(m.get(), arg);
    }
    dbus::message reply = client->call(m);
    return read_arguments(reply.get());
}

std::string PeersTest::error_of(const std::function<void()>& f)
{
    try
    {
        f();
    }
    catch (const dbus::error& e)
    {
        return e.name();
    }
    return "";
}

bool PeersTest::run_until(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
    {
        io.restart();
        io.run_one_for(10ms);
    }
    return done();
}

std::shared_ptr<std::vector<nlohmann::json>> PeersTest::watch_changes(
    const std::string& rule)
{
    auto seen = std::make_shared<std::vector<nlohmann::json>>();
    matches_.emplace_back(*client, rule, [seen](dbus::message& m) {
        seen->push_back(read_arguments(m.get()));
    });
    return seen;
}

} // namespace simboard::peers::test
