// The tap: a user of the loop that sits between clients and a running
// server. Each client it accepts gets a connection of its own to the server,
// and the bytes go on both ways unchanged, while the observers hear of the
// frames in them. A stream that loses its frame markers is still forwarded.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frames/Traffic.h"
#include "loop/EventLoop.h"
#include "loop/Listener.h"

namespace kesu_tools {

class Tap {
public:
    // Listens on `socketPath`, forwards to the server on `serverPath`.
    Tap(EventLoop& loop, std::string socketPath, std::string serverPath);
    ~Tap();
    Tap(Tap const&) = delete;
    Tap& operator=(Tap const&) = delete;

    void addObserver(TrafficObserver* observer) { observers.push_back(observer); }
    // See Listener::listen.
    bool listen(std::string& error) { return listener.listen(error); }
    // Once the loop has ended: refuses new clients and closes every link,
    // reporting what each client wrote whole.
    void shutDown();

    // Loop thread only: `frame` goes to every client after the bytes already
    // on their way to it, which may end inside a frame of the server's.
    void sendToAll(IPCMessageStruct const& frame);
    size_t connectionCount() const { return links.size(); }

private:
    struct Side;
    struct Link;

    void accepted(ScopedFd fd);
    void onReady(Link& link, Side& side, short revents);
    void read(Link& link, Side& from);
    void report(Link& link, Side& from, char const* data, size_t size);
    void flush(Side& to);
    void settle(Link& link);
    void watch(Link& link);
    void finish(Link& link, std::string const& why);
    template <class Event>
    void tell(Event event) {
        for (TrafficObserver* observer : observers) event(*observer);
    }

    EventLoop& loop;
    const std::string serverPath;
    std::vector<TrafficObserver*> observers;
    Listener listener;
    std::map<ConnectionId, std::unique_ptr<Link>> links;
    ConnectionId nextId = 1;
};

}  // namespace kesu_tools
