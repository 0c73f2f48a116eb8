// The i2c-dev emulator as a program sees it: open, close and the ioctls,
// through libi2c and directly, in-process and preloaded into a child.

#include "support.hpp"

extern "C"
{
#include <i2c/smbus.h>
}

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace simboard::test
{
namespace
{

using ::testing::ElementsAre;

constexpr unsigned long default_functionality =
    I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;

// Bus 3: the usual adapter; bus 5: plain I2C, no SMBus; bus 6: SMBus only;
// bus 12: listed but not present.
const nlohmann::json board_description = {
    {"buses",
     {{{"bus", 3}},
      {{"bus", 5}, {"functionality", I2C_FUNC_I2C}},
      {{"bus", 6}, {"functionality", "0x0eff0008"}},
      {{"bus", 12}, {"present", false}}}},
    {"devices",
     {{{"bus", 3},
       {"address", "0x4c"},
       {"kind", "register"},
       {"registers", {{"0x00", 25}, {"0xfe", 1}, {"0xff", "0x7f"}}}},
      {{"bus", 3},
       {"address", "0x50"},
       {"kind", "register"},
       {"driver_bound", true}},
      {{"bus", 5}, {"address", "0x4c"}, {"kind", "register"}},
      {{"bus", 6}, {"address", "0x4c"}, {"kind", "register"}}}}};

class I2cDev : public board_test
{
  protected:
    I2cDev()
    {
        make_board(board_description);
    }
};

// The word is 32 bits wide, as on the BMC: the bytes after it stay intact.
unsigned long functionality(int fd)
{
    struct
    {
        uint32_t funcs = 0;
        uint32_t guard = 0xdeadbeef;
    } word;
    EXPECT_EQ(ioctl(fd, I2C_FUNCS, &word.funcs), 0);
    EXPECT_EQ(word.guard, 0xdeadbeef);
    return word.funcs;
}

int read_byte(const bus_fd& fd, uint8_t address, uint8_t reg)
{
    if (ioctl(fd.get(), I2C_SLAVE_FORCE, address) != 0)
    {
        return -errno;
    }
    return i2c_smbus_read_byte_data(fd.get(), reg);
}

TEST_F(I2cDev, UnsetStateLeavesI2cPathsToTheSystem)
{
    ASSERT_FALSE(std::filesystem::exists("/dev/i2c-3"));
    EXPECT_GE(bus_fd(3).get(), 0);
    unsetenv("SIMBOARD_I2C_STATE");
    errno = 0;
    EXPECT_LT(bus_fd(3).get(), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(I2cDev, OtherPathsAndDescriptorsPassThrough)
{
    std::filesystem::path file = dir / "plain";
    std::ofstream(file) << "hello";
    int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int pending = 0;
    EXPECT_EQ(ioctl(fd, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 5);
    EXPECT_EQ(::close(fd), 0);

    for (const char* path : {"/dev/i2c-03", "/dev/i2c-3x", "/dev/i2c-",
                             "/dev/i2c-12345678901", "dev/i2c-3"})
    {
        errno = 0;
        EXPECT_LT(::open(path, O_RDWR), 0) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
}

TEST_F(I2cDev, EveryOpenEntryPointEmulatesTheBus)
{
    using open_fn = int (*)(const char*, int, ...);
    using openat_fn = int (*)(int, const char*, int, ...);
    std::vector<std::function<int()>> opens;
    for (const char* name : {"open", "open64", "__open_2", "__open64_2"})
    {
        auto function = reinterpret_cast<open_fn>(dlsym(RTLD_DEFAULT, name));
        ASSERT_NE(function, nullptr) << name;
        opens.emplace_back([=] {
            return function("/dev/i2c-3", O_RDWR | O_CLOEXEC);
        });
    }
    for (const char* name :
         {"openat", "openat64", "__openat_2", "__openat64_2"})
    {
        auto function = reinterpret_cast<openat_fn>(dlsym(RTLD_DEFAULT, name));
        ASSERT_NE(function, nullptr) << name;
        opens.emplace_back([=] {
            return function(AT_FDCWD, "/dev/i2c-3", O_RDWR | O_CLOEXEC);
        });
    }
    for (const auto& open_bus : opens)
    {
        int fd = open_bus();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
        EXPECT_EQ(functionality(fd), default_functionality);
        EXPECT_EQ(::close(fd), 0);
    }
}

TEST_F(I2cDev, ClosedDescriptorNumberIsNoLongerABus)
{
    int fd = bus_fd(3).get();
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(fd, I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, EBADF);

    // Closed without close() (as close_range or exec would): the number is
    // freed once the kernel hands it out again.
    int bypassed = ::open("/dev/i2c-3", O_RDWR);
    ASSERT_EQ(syscall(SYS_close, bypassed), 0);
    int reused = ::open("/dev/null", O_RDWR);
    ASSERT_EQ(reused, bypassed);
    EXPECT_EQ(ioctl(reused, I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(reused);
}

TEST_F(I2cDev, MissingAndDroppedBuses)
{
    for (unsigned absent : {7U, 12U})
    {
        errno = 0;
        EXPECT_LT(bus_fd(absent).get(), 0);
        EXPECT_EQ(errno, ENOENT);
    }

    bus_fd fd(3);
    ASSERT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x4c), 0);
    board->set_bus_present(3, false);
    EXPECT_LT(bus_fd(3).get(), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0), -ENODEV);
    EXPECT_EQ(fd.transfer(0x4c, {0}, 1).first, -1);
    EXPECT_EQ(errno, ENODEV);
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(fd.get(), I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x4c), -1);
    EXPECT_EQ(errno, ENODEV);

    board->set_bus_present(3, true);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0), 25);
    auto log = board->log({.bus = 3});
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].result, "ENODEV");
    EXPECT_EQ(log[2].result, "ok");
}

TEST_F(I2cDev, SlaveSelectionHonoursBoundDrivers)
{
    bus_fd fd(3);
    EXPECT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x50), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(ioctl(fd.get(), I2C_SLAVE_FORCE, 0x50), 0);
    EXPECT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x4c), 0);
    EXPECT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x80), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ioctl(fd.get(), I2C_PEC, 1), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(I2cDev, SmbusByteDataThroughLibi2c)
{
    bus_fd fd(3);
    EXPECT_EQ(read_byte(fd, 0x4c, 0x00), 25);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0xff), 0x7f);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x10, 0x5a), 0);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x10), 0x5a);
    board->write_register(3, 0x4c, 0x00, 0x80);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0x00), 0x80);

    EXPECT_EQ(read_byte(fd, 0x4d, 0), -ENXIO);
    EXPECT_EQ(i2c_smbus_read_word_data(fd.get(), 0), -EOPNOTSUPP);
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data bad_size{I2C_SMBUS_READ, 0, 9, &data};
    EXPECT_EQ(ioctl(fd.get(), I2C_SMBUS, &bad_size), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(I2cDev, AdapterFunctionalityGatesTransfers)
{
    bus_fd plain_i2c(5);
    EXPECT_EQ(functionality(plain_i2c.get()), I2C_FUNC_I2C);
    EXPECT_EQ(read_byte(plain_i2c, 0x4c, 0), -EOPNOTSUPP);
    EXPECT_EQ(i2c_smbus_write_byte_data(plain_i2c.get(), 0, 1), -EOPNOTSUPP);
    EXPECT_EQ(plain_i2c.transfer(0x4c, {0}, 1).first, 2);

    bus_fd smbus_only(6);
    EXPECT_EQ(read_byte(smbus_only, 0x4c, 0), 0);
    EXPECT_EQ(smbus_only.transfer(0x4c, {0}, 1).first, -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST_F(I2cDev, RdwrOnRegisterDevice)
{
    bus_fd fd(3);
    auto [result, bytes] = fd.transfer(0x4c, {0xfe}, 3);
    EXPECT_EQ(result, 2);
    EXPECT_THAT(bytes, ElementsAre(1, 0x7f, 25)); // wraps to register 0

    EXPECT_EQ(fd.transfer(0x4c, {0x20, 1, 2, 3}).first, 1);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x22), 3);

    // A lone read continues from the register pointer.
    EXPECT_EQ(fd.transfer(0x4c, {0x21}).first, 1);
    i2c_msg read_only{0x4c, I2C_M_RD, 2, bytes.data()};
    i2c_rdwr_ioctl_data single{&read_only, 1};
    EXPECT_EQ(ioctl(fd.get(), I2C_RDWR, &single), 1);
    EXPECT_THAT(std::vector(bytes.begin(), bytes.begin() + 2),
                ElementsAre(2, 3));

    EXPECT_EQ(fd.transfer(0x33, {0}, 1).first, -1);
    EXPECT_EQ(errno, ENXIO);
}

TEST_F(I2cDev, RdwrRejectsMalformedRequests)
{
    bus_fd fd(3);
    uint8_t a = 0;
    uint8_t b = 0;
    auto rejected = [&](std::vector<i2c_msg> messages) {
        i2c_rdwr_ioctl_data data{messages.data(),
                                 static_cast<uint32_t>(messages.size())};
        errno = 0;
        return ioctl(fd.get(), I2C_RDWR, &data) == -1 && errno == EINVAL;
    };
    i2c_msg write{0x4c, 0, 1, &a};
    i2c_msg read{0x4c, I2C_M_RD, 1, &b};
    EXPECT_TRUE(rejected({}));
    EXPECT_TRUE(rejected({write, read, read}));
    EXPECT_TRUE(rejected({read, write}));
    EXPECT_TRUE(rejected({write, {0x4d, I2C_M_RD, 1, &b}}));
    EXPECT_TRUE(rejected({{0x4c, I2C_M_TEN, 1, &a}}));
    EXPECT_TRUE(rejected({{0x80, 0, 1, &a}}));
    EXPECT_TRUE(board->log().empty());
}

TEST_F(I2cDev, NackFaults)
{
    bus_fd fd(3);
    ASSERT_EQ(ioctl(fd.get(), I2C_SLAVE, 0x4c), 0);
    board->nack_nth(3, 0x4c, 3);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x10, 1), 0);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x11, 1), 0);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x12, 1), -EREMOTEIO);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x13, 1), 0);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x12), 0); // NACK had no effect

    board->nack_nth_command(3, 0x4c, 0x20, 2);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x20, 1), 0);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x21, 1), 0);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x20, 2), -EREMOTEIO);
    EXPECT_EQ(i2c_smbus_write_byte_data(fd.get(), 0x20, 3), 0);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x20), 3);

    board->set_silent(3, 0x4c, true);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0), -ENXIO);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0), -ENXIO);
    board->clear_faults(3, 0x4c);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd.get(), 0), 25);
}

TEST_F(I2cDev, TransactionLog)
{
    bus_fd fd(3);
    fd.transfer(0x4c, {0x00}, 2);
    fd.transfer(0x4c, {0x30, 0xab});
    fd.transfer(0x4d, {0x00}, 1);
    bus_fd(5).transfer(0x4c, {0x30}, 1);

    auto all = board->log();
    ASSERT_EQ(all.size(), 4U);
    EXPECT_EQ(all[0].bus, 3U);
    EXPECT_EQ(all[0].address, 0x4c);
    EXPECT_THAT(all[0].written, ElementsAre(0x00));
    EXPECT_THAT(all[0].read, ElementsAre(25, 0));
    EXPECT_TRUE(all[0].ok());
    EXPECT_TRUE(all[1].read.empty());
    EXPECT_EQ(all[2].result, "ENXIO");
    EXPECT_TRUE(all[2].read.empty());

    EXPECT_EQ(board->log({.bus = 5}).size(), 1U);
    EXPECT_EQ(board->log({.bus = 3, .address = 0x4c}).size(), 2U);
    EXPECT_EQ(board->log({.command = 0x30}).size(), 2U);
    EXPECT_EQ(board->transaction_count(), 4U);
    board->clear_log();
    EXPECT_TRUE(board->log().empty());
}

TEST_F(I2cDev, ReplacedStateFileIsPickedUpOnOpen)
{
    EXPECT_EQ(read_byte(bus_fd(3), 0x4c, 0), 25);
    nlohmann::json other = board_description;
    other["devices"][0]["registers"]["0x00"] = 30;
    make_board(other);
    EXPECT_EQ(read_byte(bus_fd(3), 0x4c, 0), 30);
}

// The helper is instrumented in a sanitized build, so this also shows that
// the preload works for an ASan child.
TEST_F(I2cDev, PreloadedChildReadsThroughLibi2c)
{
    std::vector<std::string> argv{I2C_READ_HELPER, "3", "0x4c", "0"};
    auto environment = board->child_environment();
    child_result child = run_child(argv, environment);
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.output, "25\n");
    auto log = board->log({.bus = 3, .address = 0x4c});
    ASSERT_EQ(log.size(), 1U);
    EXPECT_THAT(log[0].read, ElementsAre(25));

    EXPECT_EQ(
        run_child({I2C_READ_HELPER, "7", "0x4c", "0"}, environment).output,
        "open ENOENT\n");
    EXPECT_EQ(
        run_child({I2C_READ_HELPER, "3", "0x4d", "0"}, environment).output,
        "read ENXIO\n");

    std::erase_if(environment, [](const auto& entry) {
        return entry.first == "SIMBOARD_I2C_STATE";
    });
    unsetenv("SIMBOARD_I2C_STATE");
    EXPECT_EQ(run_child(argv, environment).output, "open ENOENT\n");
}

} // namespace
} // namespace simboard::test
