// Preloaded into fwkeeper by tests, after the i2c-dev emulator, to meddle
// with the uploaded main-board image while the daemon reads it:
// - by default the first read() from it throws std::bad_alloc, as an
//   allocation does when memory runs out in the middle of an update (read()
//   may throw in C++: it is a cancellation point, not declared noexcept);
// - with IMAGE_SWAP_FROM=<path>, once a read() has reached the image's end,
//   the file at <path> takes its place, as when an uploader writes a new
//   image in the middle of an update.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

namespace
{

std::optional<std::string> main_board_image(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target));
    if (length <= 0)
    {
        return std::nullopt;
    }
    std::string path(target, static_cast<std::size_t>(length));
    if (!path.ends_with("/cpld/images/cpld_image.bin"))
    {
        return std::nullopt;
    }
    return path;
}

} // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    using read_fn = ssize_t (*)(int, void*, size_t);
    static const auto next =
        reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    static const char* const swap_from = std::getenv("IMAGE_SWAP_FROM");
    static bool meddled = false;
    if (meddled)
    {
        return next(fd, buf, count);
    }
    const auto image = main_board_image(fd);
    if (!image)
    {
        return next(fd, buf, count);
    }
    if (swap_from == nullptr)
    {
        meddled = true;
        throw std::bad_alloc();
    }
    const ssize_t got = next(fd, buf, count);
    if (got == 0)
    {
        meddled = true;
        std::rename(swap_from, image->c_str());
    }
    return got;
}
