#include "loop/Listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kesu_tools {

Listener::Listener(EventLoop& loop, std::string path, std::function<void(ScopedFd)> handOut)
    : socketPath(std::move(path)), onClient(std::move(handOut)), channel(loop, [this](short) { acceptClients(); }) {}

Listener::~Listener() {
    if (!ownsSocketFile) return;
    struct stat info;
    if (::lstat(socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice && info.st_ino == socketInode)
        ::unlink(socketPath.c_str());
}

bool Listener::listen(std::string& error) {
    sockaddr_un address;
    if (!makeUnixAddress(socketPath, address)) {
        error = "socket path too long for a Unix-domain address: " + socketPath;
        return false;
    }
    char const* path = socketPath.c_str();
    for (int attempt = 0; attempt < 2; ++attempt) {
        socket.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!socket) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        if (::bind(socket.get(), asSockaddr(address), sizeof address) == 0) {
            if (::listen(socket.get(), SOMAXCONN) != 0) {
                error = "listen on " + socketPath + ": " + std::strerror(errno);
                socket.reset();
                return false;
            }
            struct stat info;
            ownsSocketFile = ::lstat(path, &info) == 0;
            socketDevice = info.st_dev;
            socketInode = info.st_ino;
            channel.watch(socket.get(), POLLIN);
            return true;
        }
        if (errno != EADDRINUSE || attempt > 0) {
            error = "cannot bind " + socketPath + ": " + std::strerror(errno);
            socket.reset();
            return false;
        }
        socket.reset();
        struct stat info;
        if (::lstat(path, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            error = socketPath + " exists and is not a socket; not touching it";
            return false;
        }
        int connectError = 0;
        if (connectUnix(socketPath, connectError)) {
            error = "another server is already listening on " + socketPath;
            return false;
        }
        if (connectError != ECONNREFUSED) {
            error = "cannot tell whether " + socketPath + " is in use: " + std::strerror(connectError);
            return false;
        }
        if (::unlink(path) != 0 && errno != ENOENT) {
            error = "cannot remove stale socket " + socketPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return false;
}

void Listener::acceptClients() {
    while (socket) {
        ScopedFd client(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        onClient(std::move(client));
    }
}

void Listener::close() {
    if (!socket) return;
    // A shut-down listener refuses new clients but still hands out those
    // already waiting.
    ::shutdown(socket.get(), SHUT_RDWR);
    acceptClients();
    socket.reset();
    channel.unwatch();
}

void Listener::closeAndUnlink() {
    close();
    ::unlink(socketPath.c_str());
    ownsSocketFile = false;
}

}  // namespace kesu_tools
