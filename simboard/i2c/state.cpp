#include "simboard/i2c/state.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace simboard::i2c
{

state_mapping::state_mapping(void* base, size_t size) noexcept :
    base_(base), size_(size)
{}

state_mapping::state_mapping(state_mapping&& other) noexcept :
    base_(std::exchange(other.base_, nullptr)),
    size_(std::exchange(other.size_, 0))
{}

state_mapping& state_mapping::operator=(state_mapping&& other) noexcept
{
    if (this != &other)
    {
        state_mapping old(std::move(*this));
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

state_mapping::~state_mapping()
{
    if (base_ != nullptr)
    {
        munmap(base_, size_);
    }
}

namespace
{

bool valid_header(const shared_state& state, size_t size)
{
    return state.magic == state_magic && state.version == state_version &&
           state.file_size == size;
}

} // namespace

int state_mapping::map(const char* path, state_mapping& out)
{
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        return errno;
    }
    struct stat st = {};
    int error = 0;
    void* base = MAP_FAILED;
    if (fstat(fd, &st) != 0)
    {
        error = errno;
    }
    else if (static_cast<size_t>(st.st_size) < sizeof(shared_state))
    {
        error = EINVAL;
    }
    else
    {
        base = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                    0);
        error = base == MAP_FAILED ? errno : 0;
    }
    ::close(fd);
    if (error != 0)
    {
        return error;
    }
    state_mapping mapping(base, st.st_size);
    if (!valid_header(*mapping.get(), st.st_size))
    {
        return EINVAL;
    }
    out = std::move(mapping);
    return 0;
}

state_lock::state_lock(shared_state& state) noexcept : state_(state)
{
    if (pthread_mutex_lock(&state_.mutex) == EOWNERDEAD)
    {
        // The owner died mid-transaction; the board may show half of it,
        // as real hardware would after a master reset.
        pthread_mutex_consistent(&state_.mutex);
    }
}

state_lock::~state_lock()
{
    pthread_mutex_unlock(&state_.mutex);
}

void init_mutex(shared_state& state)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&state.mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

bus_state* find_bus(shared_state& state, uint32_t number) noexcept
{
    for (uint32_t i = 0; i < state.bus_count; ++i)
    {
        if (state.buses[i].number == number)
        {
            return &state.buses[i];
        }
    }
    return nullptr;
}

device_state* find_device(shared_state& state, uint32_t bus,
                          uint8_t address) noexcept
{
    for (uint32_t i = 0; i < state.device_count; ++i)
    {
        device_state& device = state.devices[i];
        if (device.bus == bus && device.address == address)
        {
            return &device;
        }
    }
    return nullptr;
}

uint8_t* flash_of(shared_state& state, const machxo_state& machxo) noexcept
{
    return reinterpret_cast<uint8_t*>(&state) + machxo.flash_offset;
}

} // namespace simboard::i2c
