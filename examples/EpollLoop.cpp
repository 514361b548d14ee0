// kesu-example-epoll [SOCKET]: the same application on a plain epoll loop.
// The inbox's descriptor is watched level-triggered beside a pipe that the
// stop signals write to; SIGINT or SIGTERM end the loop, and what the client
// delivered before its stop is then dispatched, down to the end of the
// connection.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "LoopApplication.h"
#include "kesu/ipc/IPCInbox.h"

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    [[maybe_unused]] ssize_t written = ::write(stopPipe[1], "s", 1);  // a full pipe already says it
    errno = saved;
}

bool watch(int loop, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(loop, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    IPCMessengerClient client(argc > 1 ? argv[1] : IPCMessengerClient::kDefaultSocketPath);
    IPCInbox inbox(client);  // before start(): it hears the first connection
    if (!inbox.valid()) return 1;
    const int loop = ::epoll_create1(EPOLL_CLOEXEC);
    const bool watching = loop != -1 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0;
    if (!watching || !watch(loop, inbox.fd()) || !watch(loop, stopPipe[0])) {
        std::perror("kesu-example-epoll");
        return 1;
    }
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    LoopApplication application(client);

    client.start();
    for (bool running = true; running;) {
        epoll_event ready[2];
        const int count = ::epoll_wait(loop, ready, 2, -1);  // -1 with EINTR: a signal, seen on the pipe next
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == inbox.fd()) inbox.dispatch(application);
            if (ready[i].data.fd == stopPipe[0]) running = false;
        }
    }
    client.stop();
    inbox.dispatch(application);
    ::close(loop);
    return 0;
}
