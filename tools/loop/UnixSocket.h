// Descriptor holder and Unix-domain address helpers for the developer tools.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace kesu_tools {

// Owns one descriptor; -1 means none.
class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int descriptor) : fd(descriptor) {}
    ScopedFd(ScopedFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd, -1));
        return *this;
    }
    ScopedFd(ScopedFd const&) = delete;
    ScopedFd& operator=(ScopedFd const&) = delete;
    ~ScopedFd() { reset(); }

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    void reset(int descriptor = -1) {
        if (fd >= 0) ::close(fd);
        fd = descriptor;
    }

private:
    int fd = -1;
};

// False when the path does not fit sun_path with its terminator.
inline bool makeUnixAddress(std::string const& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

inline sockaddr* asSockaddr(sockaddr_un& address) { return reinterpret_cast<sockaddr*>(&address); }

// A connected blocking stream socket, or an empty holder with `error` set
// (ENAMETOOLONG for a path that does not fit an address).
inline ScopedFd connectUnix(std::string const& path, int& error) {
    sockaddr_un address;
    if (!makeUnixAddress(path, address)) {
        error = ENAMETOOLONG;
        return ScopedFd();
    }
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = errno;
        return fd;
    }
    if (::connect(fd.get(), asSockaddr(address), sizeof address) != 0) {
        error = errno;
        fd.reset();
    }
    return fd;
}

}  // namespace kesu_tools
