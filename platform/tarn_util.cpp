// Our build of the board maker's utility library. The capability word comes
// from a one-line file; registers are read through Linux i2c-dev.
#include "platform/tarn_util.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C"
{
#include <i2c/smbus.h>
}

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace
{

constexpr const char* capability_file = "/etc/tarn-util/capability_flags";

// Parses a whole line holding one number in C notation (0x30000, 196608).
bool parse_capability(const std::string& text, unsigned long long& value)
{
    if (text.empty() || text.front() == '-' || text.front() == '+')
    {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
    {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace

int getCapbilityFlags(unsigned long long* flags)
{
    if (flags == nullptr)
    {
        return -1;
    }
    std::ifstream file(capability_file);
    std::string line;
    if (!std::getline(file, line))
    {
        return -1;
    }
    if (!line.empty() && line.back() == '\r')
    {
        line.pop_back();
    }
    return parse_capability(line, *flags) ? 0 : -1;
}

int i2cGet(unsigned char bus, unsigned char addr, unsigned char reg,
           unsigned char* value)
{
    if (value == nullptr)
    {
        return -1;
    }
    std::string path = "/dev/i2c-" + std::to_string(bus);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        return -1;
    }
    int result = -1;
    if (ioctl(fd, I2C_SLAVE_FORCE, addr) >= 0)
    {
        result = i2c_smbus_read_byte_data(fd, reg);
    }
    close(fd);
    if (result < 0)
    {
        return -1;
    }
    *value = static_cast<unsigned char>(result);
    return 0;
}
