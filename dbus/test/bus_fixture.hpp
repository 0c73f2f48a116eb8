#pragma once

#include "dbus/connection.hpp"

#include <sys/types.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace dbus::test
{

/** Address of the private dbus-daemon started for this test program. Its
 *  environment is set, so sd_bus_default() connects there as well. */
const std::string& bus_address();

/** Runs io until done() holds or timeout passes; returns done(). */
bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

/** A forked process running body(ready); the constructor returns once the
 *  body has called ready(). Killed on destruction. */
class child_process
{
  public:
    explicit child_process(
        const std::function<void(const std::function<void()>& ready)>& body);
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process();

  private:
    void stop() noexcept;

    pid_t pid_ = -1;
};

/** Well-known name, path and interface served by test_server. */
inline constexpr const char* server_name = "test.server";
inline constexpr const char* server_path = "/test/obj";
inline constexpr const char* server_iface = "test.Iface";

/** Body of a child_process serving server_iface on its own connection:
 *  properties Name (s, read-only), Level (u, writable), Limit (i, guarded:
 *  negative refused, above 100 clamped), Locked (s, every write denied)
 *  and methods Echo, Split, Sum, Fail,
 *  Throw, Records, Table, Describe, Nested, Emit (see the cpp). */
void serve_test_interface(const std::function<void()>& ready);

/** Tests against serve_test_interface: one server process for the suite,
 *  a connection of each test's own. */
class server_test : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        server.emplace(serve_test_interface);
    }
    static void TearDownTestSuite()
    {
        server.reset();
    }

    static inline std::optional<child_process> server;
    boost::asio::io_context io;
    std::shared_ptr<connection> conn = connection::open(io, bus_address());
};

} // namespace dbus::test
