// A listening Unix-domain socket on a loop: it accepts every client that
// comes and hands each one's descriptor to its owner.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "loop/EventLoop.h"
#include "loop/UnixSocket.h"

namespace kesu_tools {

class Listener {
public:
    // `onClient` gets each accepted client, non-blocking, on the loop thread.
    Listener(EventLoop& loop, std::string path, std::function<void(ScopedFd)> onClient);
    // Removes the socket file it created, unless another has taken the path.
    ~Listener();
    Listener(Listener const&) = delete;
    Listener& operator=(Listener const&) = delete;

    // Binds and listens. A socket file where a server answers, or a path that
    // is not a socket, is refused; a stale socket file is replaced. False
    // with a reason in `error`.
    bool listen(std::string& error);
    // Stops accepting. Clients already waiting are handed out first, so none
    // is lost with the socket; the file stays, so later ones are refused.
    void close();
    // Closes, and the socket file goes: clients find no server at the path.
    void closeAndUnlink();
    // -1 when not listening.
    int fd() const { return socket.get(); }

private:
    void acceptClients();

    const std::string socketPath;
    std::function<void(ScopedFd)> onClient;
    ScopedFd socket;
    Channel channel;
    bool ownsSocketFile = false;
    dev_t socketDevice = 0;  // the socket file we created, so that a file
    ino_t socketInode = 0;   // another server put there is left alone
};

}  // namespace kesu_tools
