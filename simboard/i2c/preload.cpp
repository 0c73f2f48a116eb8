// libi2c-emu.so: puts the simulated board behind "/dev/i2c-<N>".
//
// Loaded with LD_PRELOAD (or linked into a test), it intercepts the open
// family, close and ioctl.  With SIMBOARD_I2C_STATE naming a board state
// file, opening "/dev/i2c-<N>" of a bus the board has returns a descriptor
// of /dev/null (so flags such as O_CLOEXEC behave) that is remembered as
// that bus; the i2c-dev ioctls on it run against the board.  Everything
// else goes to the next definition (libc, or a sanitizer runtime).

// open and open64 are defined separately below, so the 64-bit offset
// redirection of <fcntl.h> must stay off in this file.
#undef _FILE_OFFSET_BITS

#include "simboard/i2c/model.hpp"
#include "simboard/i2c/state.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace
{

using namespace simboard::i2c;

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using openat2_fn = int (*)(int, const char*, int);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);

template <typename Function>
Function next_definition(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

struct next_calls
{
    open_fn open = next_definition<open_fn>("open");
    open_fn open64 = next_definition<open_fn>("open64");
    openat_fn openat = next_definition<openat_fn>("openat");
    openat_fn openat64 = next_definition<openat_fn>("openat64");
    open2_fn open_2 = next_definition<open2_fn>("__open_2");
    open2_fn open64_2 = next_definition<open2_fn>("__open64_2");
    openat2_fn openat_2 = next_definition<openat2_fn>("__openat_2");
    openat2_fn openat64_2 = next_definition<openat2_fn>("__openat64_2");
    close_fn close = next_definition<close_fn>("close");
    ioctl_fn ioctl = next_definition<ioctl_fn>("ioctl");
};

const next_calls& next()
{
    static const next_calls calls;
    return calls;
}

// ---- the board this process talks to --------------------------------------

// Never destroyed: descriptors may still be used by exit handlers.
struct attached_board
{
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    state_mapping mapping;
};

attached_board& board()
{
    static auto* attached = new attached_board;
    return *attached;
}

// Maps the state file, again when it was replaced since the last open.
// Returns nullptr with errno set when it cannot be used.
shared_state* attach(const char* path)
{
    struct stat st = {};
    if (stat(path, &st) != 0)
    {
        return nullptr;
    }
    attached_board& current = board();
    if (current.mapping.get() != nullptr && current.path == path &&
        current.device == st.st_dev && current.inode == st.st_ino)
    {
        return current.mapping.get();
    }
    state_mapping mapping;
    if (int error = state_mapping::map(path, mapping); error != 0)
    {
        errno = error;
        return nullptr;
    }
    current.path = path;
    current.device = st.st_dev;
    current.inode = st.st_ino;
    current.mapping = std::move(mapping);
    return current.mapping.get();
}

// ---- emulated descriptors ---------------------------------------------------

struct emulated_fd
{
    bool used;
    uint32_t bus;
    uint8_t address;
};

constexpr int max_fds = 4096;
emulated_fd fds[max_fds];

emulated_fd* emulated(int fd)
{
    return fd >= 0 && fd < max_fds && fds[fd].used ? &fds[fd] : nullptr;
}

// A descriptor number the kernel hands out again was closed behind our
// back (close_range, dup2, exec); it no longer belongs to a bus.
int forget(int fd)
{
    if (fd >= 0 && fd < max_fds)
    {
        fds[fd] = {};
    }
    return fd;
}

// "/dev/i2c-<decimal>", as the kernel names the nodes (no leading zeros).
std::optional<uint32_t> bus_of_path(const char* path)
{
    constexpr std::string_view prefix = "/dev/i2c-";
    std::string_view text(path);
    if (!text.starts_with(prefix))
    {
        return std::nullopt;
    }
    std::string_view digits = text.substr(prefix.size());
    if (digits.empty() || digits.size() > 9 ||
        (digits.size() > 1 && digits[0] == '0'))
    {
        return std::nullopt;
    }
    uint32_t bus = 0;
    for (char digit : digits)
    {
        if (digit < '0' || digit > '9')
        {
            return std::nullopt;
        }
        bus = bus * 10 + static_cast<uint32_t>(digit - '0');
    }
    return bus;
}

int open_bus(const char* state_path, uint32_t bus, int flags, mode_t mode)
{
    shared_state* state = attach(state_path);
    if (state == nullptr)
    {
        return -1;
    }
    {
        state_lock lock(*state);
        const bus_state* found = find_bus(*state, bus);
        if (found == nullptr || !found->present)
        {
            errno = ENOENT;
            return -1;
        }
    }
    int fd = next().open("/dev/null", flags, mode);
    if (fd >= max_fds)
    {
        next().close(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0)
    {
        fds[fd] = {true, bus, 0};
    }
    return fd;
}

// Opens an emulated bus, or hands the call on to `forward`.
template <typename Forward>
int route(const char* path, int flags, mode_t mode, Forward forward)
{
    const char* state_path = std::getenv("SIMBOARD_I2C_STATE");
    std::optional<uint32_t> bus;
    if (state_path != nullptr && path != nullptr)
    {
        bus = bus_of_path(path);
    }
    if (!bus)
    {
        return forget(forward());
    }
    return open_bus(state_path, *bus, flags, mode);
}

mode_t mode_argument(int flags, va_list args)
{
    bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? va_arg(args, mode_t) : 0;
}

// ---- i2c-dev requests ------------------------------------------------------

constexpr unsigned long max_address = 0x7f;
constexpr uint16_t max_message_length = 8192;

int select_address(shared_state& state, emulated_fd& fd, unsigned long request,
                   unsigned long address)
{
    if (address > max_address)
    {
        return -EINVAL;
    }
    const device_state* device =
        find_device(state, fd.bus, static_cast<uint8_t>(address));
    if (request == I2C_SLAVE && device != nullptr && device->driver_bound)
    {
        return -EBUSY;
    }
    fd.address = static_cast<uint8_t>(address);
    return 0;
}

int smbus(shared_state& state, const bus_state& bus, const emulated_fd& fd,
          i2c_smbus_ioctl_data* data)
{
    if (data == nullptr)
    {
        return -EFAULT;
    }
    bool read = data->read_write == I2C_SMBUS_READ;
    if ((!read && data->read_write != I2C_SMBUS_WRITE) ||
        data->size > I2C_SMBUS_I2C_BLOCK_DATA)
    {
        return -EINVAL;
    }
    if (data->size != I2C_SMBUS_BYTE_DATA)
    {
        return -EOPNOTSUPP;
    }
    if (data->data == nullptr)
    {
        return -EINVAL;
    }
    uint32_t needed = read ? I2C_FUNC_SMBUS_READ_BYTE_DATA
                           : I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
    if ((bus.functionality & needed) == 0)
    {
        return -EOPNOTSUPP;
    }
    // Byte data as the adapter puts it on the wire: the command byte, then
    // the value, or a repeated start and one byte read.
    uint8_t bytes[2] = {data->command, data->data->byte};
    transaction t{fd.bus, fd.address, {bytes, read ? 1U : 2U}, {}};
    if (read)
    {
        t.read = {bytes + 1, 1};
    }
    int error = run_transaction(state, t);
    if (error != 0)
    {
        return -error;
    }
    if (read)
    {
        data->data->byte = bytes[1];
    }
    return 0;
}

bool valid_message(const i2c_msg& message)
{
    return (message.flags & ~I2C_M_RD) == 0 && message.addr <= max_address &&
           message.len <= max_message_length &&
           (message.len == 0 || message.buf != nullptr);
}

// One message (write or read), or a write and a read to the same address.
int read_write(shared_state& state, const bus_state& bus, const emulated_fd& fd,
               const i2c_rdwr_ioctl_data* data)
{
    if (data == nullptr)
    {
        return -EFAULT;
    }
    const i2c_msg* messages = data->msgs;
    uint32_t count = data->nmsgs;
    if (messages == nullptr || count == 0 || count > 2)
    {
        return -EINVAL;
    }
    if ((bus.functionality & I2C_FUNC_I2C) == 0)
    {
        return -EOPNOTSUPP;
    }
    if (!valid_message(messages[0]) ||
        (count == 2 &&
         (!valid_message(messages[1]) || (messages[0].flags & I2C_M_RD) ||
          !(messages[1].flags & I2C_M_RD) ||
          messages[0].addr != messages[1].addr)))
    {
        return -EINVAL;
    }
    transaction t{fd.bus, static_cast<uint8_t>(messages[0].addr), {}, {}};
    for (uint32_t i = 0; i < count; ++i)
    {
        if (messages[i].flags & I2C_M_RD)
        {
            t.read = {messages[i].buf, messages[i].len};
        }
        else
        {
            t.written = {messages[i].buf, messages[i].len};
        }
    }
    int error = run_transaction(state, t);
    return error != 0 ? -error : static_cast<int>(count);
}

// Returns the ioctl result, or a negated errno value.
int emulated_ioctl(emulated_fd& fd, unsigned long request, unsigned long arg)
{
    shared_state* state = board().mapping.get();
    if (state == nullptr)
    {
        return -EIO;
    }
    state_lock lock(*state);
    // Transfers on a dropped bus go on to run_transaction, which fails and
    // logs them like any other transfer.
    const bus_state* bus = find_bus(*state, fd.bus);
    bool transfer = request == I2C_RDWR || request == I2C_SMBUS;
    if (bus == nullptr || (!bus->present && !transfer))
    {
        return -ENODEV;
    }
    switch (request)
    {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            return select_address(*state, fd, request, arg);
        case I2C_FUNCS:
            if (arg == 0)
            {
                return -EFAULT;
            }
            // The BMC's kernel stores its unsigned long, a 32-bit word.  A
            // 64-bit host's kernel would store 8 bytes and overrun the
            // 32-bit word that daemons written for the BMC pass.
            *reinterpret_cast<uint32_t*>(arg) = bus->functionality;
            return 0;
        case I2C_SMBUS:
            return smbus(*state, *bus, fd,
                         reinterpret_cast<i2c_smbus_ioctl_data*>(arg));
        case I2C_RDWR:
            return read_write(*state, *bus, fd,
                              reinterpret_cast<i2c_rdwr_ioctl_data*>(arg));
        default:
            return -ENOTTY;
    }
}

} // namespace

// Only these are exported; the rest of the library is hidden, so that it
// never clashes with the program it is loaded into.

extern "C"
{
    [[gnu::visibility("default")]] int open(const char* path, int flags, ...)
    {
        va_list args;
        va_start(args, flags);
        mode_t mode = mode_argument(flags, args);
        va_end(args);
        return route(path, flags, mode,
                     [&] { return next().open(path, flags, mode); });
    }

    [[gnu::visibility("default")]] int open64(const char* path, int flags, ...)
    {
        va_list args;
        va_start(args, flags);
        mode_t mode = mode_argument(flags, args);
        va_end(args);
        return route(path, flags, mode,
                     [&] { return next().open64(path, flags, mode); });
    }

    [[gnu::visibility("default")]] int openat(int dirfd, const char* path,
                                              int flags, ...)
    {
        va_list args;
        va_start(args, flags);
        mode_t mode = mode_argument(flags, args);
        va_end(args);
        return route(path, flags, mode,
                     [&] { return next().openat(dirfd, path, flags, mode); });
    }

    [[gnu::visibility("default")]] int openat64(int dirfd, const char* path,
                                                int flags, ...)
    {
        va_list args;
        va_start(args, flags);
        mode_t mode = mode_argument(flags, args);
        va_end(args);
        return route(path, flags, mode,
                     [&] { return next().openat64(dirfd, path, flags, mode); });
    }

    [[gnu::visibility("default")]] int __open_2(const char* path, int flags)
    {
        return route(path, flags, 0,
                     [&] { return next().open_2(path, flags); });
    }

    [[gnu::visibility("default")]] int __open64_2(const char* path, int flags)
    {
        return route(path, flags, 0,
                     [&] { return next().open64_2(path, flags); });
    }

    [[gnu::visibility("default")]] int __openat_2(int dirfd, const char* path,
                                                  int flags)
    {
        return route(path, flags, 0,
                     [&] { return next().openat_2(dirfd, path, flags); });
    }

    [[gnu::visibility("default")]] int __openat64_2(int dirfd, const char* path,
                                                    int flags)
    {
        return route(path, flags, 0,
                     [&] { return next().openat64_2(dirfd, path, flags); });
    }

    [[gnu::visibility("default")]] int close(int fd)
    {
        return next().close(forget(fd));
    }

    [[gnu::visibility("default")]] int ioctl(int fd, unsigned long request,
                                             ...) noexcept
    {
        va_list args;
        va_start(args, request);
        unsigned long arg = va_arg(args, unsigned long);
        va_end(args);
        emulated_fd* entry = emulated(fd);
        if (entry == nullptr)
        {
            return next().ioctl(fd, request, arg);
        }
        int result = emulated_ioctl(*entry, request, arg);
        if (result < 0)
        {
            errno = -result;
            return -1;
        }
        return result;
    }

} // extern "C"
