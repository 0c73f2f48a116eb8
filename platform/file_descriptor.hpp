#pragma once

#include <unistd.h>

namespace platform
{

// An open file descriptor (or a failed open's -1), closed when it goes out
// of scope: on every path, an exception thrown while it is open included.
class file_descriptor
{
  public:
    explicit file_descriptor(int fd) noexcept : fd(fd) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor()
    {
        if (fd >= 0)
        {
            close(fd);
        }
    }

    int get() const noexcept
    {
        return fd;
    }

  private:
    int fd;
};

} // namespace platform
