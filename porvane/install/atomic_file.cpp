#include "porvane/install/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace porvane::install {

bool WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                         std::string& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = "create " + temp + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char* step) {
        error = std::string(step) + " " + temp + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("write");
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0)
        return fail("chmod");
    if (::fsync(fd) != 0)
        return fail("sync");
    if (::close(fd) != 0) {
        error = "close " + temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = "rename " + temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace porvane::install
