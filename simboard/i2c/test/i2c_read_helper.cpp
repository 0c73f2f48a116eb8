// Reads one register the way the daemons do (open, I2C_SLAVE_FORCE,
// i2c_smbus_read_byte_data) and prints it in decimal, or the error name.
// Usage: i2c-read-helper BUS ADDRESS REGISTER

extern "C"
{
#include <i2c/smbus.h>
}

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fputs("usage: i2c-read-helper BUS ADDRESS REGISTER\n", stderr);
        return 2;
    }
    std::string path = std::string("/dev/i2c-") + argv[1];
    unsigned long address = std::strtoul(argv[2], nullptr, 0);
    auto reg = static_cast<uint8_t>(std::strtoul(argv[3], nullptr, 0));
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        std::printf("open %s\n", strerrorname_np(errno));
        return 1;
    }
    int result = ioctl(fd, I2C_SLAVE_FORCE, address) < 0
                     ? -errno
                     : i2c_smbus_read_byte_data(fd, reg);
    close(fd);
    if (result < 0)
    {
        std::printf("read %s\n", strerrorname_np(-result));
        return 1;
    }
    std::printf("%d\n", result);
    return 0;
}
