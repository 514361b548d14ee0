#include "loop/EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>
#include <utility>

namespace kesu_tools {

Channel::Channel(EventLoop& owner, Callback callback) : loop(owner), onReady(std::move(callback)) { loop.add(this); }

Channel::~Channel() { loop.remove(this); }

void Channel::watch(int descriptor, int wanted) {
    if (descriptor != fd) revents = 0;  // readiness of the old descriptor
    fd = descriptor;
    events = static_cast<short>(wanted);
}

void Channel::unwatch() {
    watch(-1, 0);
    due = Clock::time_point::max();
}

EventLoop::EventLoop() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "the event loop's wake-up pipe");
    wakeRead.reset(fds[0]);
    wakeWrite.reset(fds[1]);
}

EventLoop::~EventLoop() {
    // Dropped tasks may own channels, which leave `channels` as they go.
    std::vector<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        dropped.swap(tasks);
    }
    dropped.clear();
}

void EventLoop::remove(Channel* channel) {
    channels.erase(std::find(channels.begin(), channels.end(), channel));
    std::replace(active.begin(), active.end(), channel, static_cast<Channel*>(nullptr));
}

int EventLoop::run() {
    std::vector<pollfd> fds;
    std::vector<Channel*> polled;
    while (!quitRequested.load()) {
        fds.assign(1, pollfd{wakeRead.get(), POLLIN, 0});
        polled.assign(1, nullptr);
        for (Channel* channel : channels) {
            if (channel->fd < 0) continue;
            fds.push_back({channel->fd, channel->events, 0});
            polled.push_back(channel);
        }
        if (::poll(fds.data(), fds.size(), timeoutMs()) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(wakeRead.get(), drain, sizeof drain) > 0) {
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) polled[i]->revents = fds[i].revents;
        dispatch();
        runTasks();
    }
    return 0;
}

// Each channel that is ready or due is called once; one that an earlier
// callback of the turn unwatched or destroyed is not called at all.
void EventLoop::dispatch() {
    const Clock::time_point now = Clock::now();
    active.clear();
    for (Channel* channel : channels)
        if (channel->revents != 0 || channel->due <= now) active.push_back(channel);
    for (size_t i = 0; i < active.size(); ++i) {
        Channel* channel = active[i];
        if (channel == nullptr || (channel->revents == 0 && channel->due > now)) continue;
        const short revents = std::exchange(channel->revents, short{0});
        channel->due = Clock::time_point::max();
        channel->onReady(revents);
    }
    active.clear();
}

void EventLoop::runTasks() {
    std::vector<std::function<void()>> now;
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        now.swap(tasks);
    }
    // Tasks queued by these run in the next turn, which the wake-up starts at once.
    for (std::function<void()>& task : now) task();
}

int EventLoop::timeoutMs() const {
    Clock::time_point next = Clock::time_point::max();
    for (Channel const* channel : channels) next = std::min(next, channel->due);
    if (next == Clock::time_point::max()) return -1;
    // Rounded up, so that the wait never ends just before the deadline.
    const auto left = std::chrono::duration_cast<Millis>(next - Clock::now()).count() + 1;
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

void EventLoop::quit() {
    // No lock: a signal handler may call this while the loop holds one.
    quitRequested.store(true);
    char byte = 'q';
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite.get(), &byte, 1);  // a full pipe is awake already
}

void EventLoop::queueInLoop(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        tasks.push_back(std::move(task));
    }
    char byte = 't';
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite.get(), &byte, 1);
}

}  // namespace kesu_tools
