// The developer tools' poll() loop. It owns the wait and the wake-up, and
// calls back the channel whose descriptor is ready or whose deadline has
// come; what it calls back are its users (the scripted server, the tap, a
// program's standard input). Every callback runs on the loop thread. Other
// threads and signal handlers reach the loop through quit() and
// queueInLoop() only.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "loop/UnixSocket.h"

namespace kesu_tools {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

class EventLoop;

// One descriptor, one deadline or both, watched by a loop for its owner.
// `onReady` gets poll()'s revents, or 0 when only the deadline has passed;
// each call clears the deadline. Destroying a channel takes it out of the
// loop at once, even in the middle of the turn that would have called it.
class Channel {
public:
    using Callback = std::function<void(short revents)>;

    Channel(EventLoop& loop, Callback onReady);
    ~Channel();
    Channel(Channel const&) = delete;
    Channel& operator=(Channel const&) = delete;

    // fd -1: no descriptor. With events 0 a descriptor still reports
    // POLLHUP and POLLERR.
    void watch(int fd, int events);
    // No descriptor and no deadline: the owner is called no more, not even
    // for what is already ready in this turn.
    void unwatch();
    void wakeAt(Clock::time_point deadline) { due = deadline; }

private:
    friend class EventLoop;

    EventLoop& loop;
    Callback onReady;
    int fd = -1;
    short events = 0;
    short revents = 0;  // from this turn's poll(), until dispatched
    Clock::time_point due = Clock::time_point::max();
};

class EventLoop {
public:
    // Throws std::system_error when it cannot make its wake-up pipe.
    EventLoop();
    ~EventLoop();
    EventLoop(EventLoop const&) = delete;
    EventLoop& operator=(EventLoop const&) = delete;

    // Turns until quit(): waits, calls the ready channels, then the tasks.
    // 0 after quit() (at once when quit() came first), or the errno of a
    // poll() that failed.
    int run();
    // Any thread, and signal handlers.
    void quit();
    // Any thread: `task` runs on the loop thread after the callbacks of a
    // turn, in the order queued. Tasks still queued when the loop is
    // destroyed are dropped unrun.
    void queueInLoop(std::function<void()> task);

    // Loop thread: `object` is destroyed once this turn is over, so that no
    // callback of the turn loses it from under its caller. After the last
    // turn it goes with the loop.
    template <class T>
    void deleteSoon(std::unique_ptr<T> object) {
        queueInLoop([doomed = std::shared_ptr<T>(std::move(object))] {});
    }

private:
    friend class Channel;

    void add(Channel* channel) { channels.push_back(channel); }
    void remove(Channel* channel);
    int timeoutMs() const;
    void dispatch();
    void runTasks();

    std::vector<Channel*> channels;  // not owned; each unregisters itself
    std::vector<Channel*> active;    // this turn's, set to null when one goes
    ScopedFd wakeRead, wakeWrite;
    std::atomic<bool> quitRequested{false};

    std::mutex tasksMutex;
    std::vector<std::function<void()>> tasks;  // guarded by tasksMutex
};

}  // namespace kesu_tools
