#include "fakes/TestServer.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "fakes/Eventually.h"
#include "ipc/IPCFrame.h"
#include "ipc/IPCSocketIO.h"

namespace kesu_test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkBytes = 64 * 1024;

[[noreturn]] void fail(std::string const& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

bool waitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, remainingMs(deadline));
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

enum class Exact { Complete, Closed, Failed };

// Reads exactly `size` bytes unless the peer ends the stream or the deadline passes.
Exact readExactly(int fd, void* buffer, size_t size, Clock::time_point deadline) {
    auto* out = static_cast<char*>(buffer);
    size_t received = 0;
    while (received < size) {
        if (!waitReadable(fd, deadline)) return Exact::Failed;
        ssize_t n = ::recv(fd, out + received, size - received, MSG_DONTWAIT);
        if (n == 0) return Exact::Closed;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return Exact::Failed;
        }
        received += static_cast<size_t>(n);
    }
    return Exact::Complete;
}

// Appends everything up to the end of the stream; false if it did not end in time.
bool readToEnd(int fd, std::vector<char>& bytes, Clock::time_point deadline) {
    char chunk[kChunkBytes];
    for (;;) {
        if (!waitReadable(fd, deadline)) return false;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return errno == ECONNRESET;  // the client went: its stream has ended too
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

}  // namespace

void ScopedFd::reset(int fd) {
    if (value >= 0) ::close(value);
    value = fd;
}

std::vector<char> frameBytes(uint32_t type, std::vector<char> const& payload) {
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(type, static_cast<uint32_t>(payload.size()), header);
    std::vector<char> out(sizeof header + payload.size());
    std::memcpy(out.data(), header, sizeof header);
    if (!payload.empty()) std::memcpy(out.data() + sizeof header, payload.data(), payload.size());
    return out;
}

ParsedStream parseFrames(std::vector<char> const& bytes) {
    ParsedStream parsed;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t left = bytes.size() - pos;
        if (left < ipc_frame::kHeaderBytes) {
            parsed.trailingBytes = left;
            break;
        }
        unsigned char header[ipc_frame::kHeaderBytes];
        std::memcpy(header, bytes.data() + pos, sizeof header);
        ipc_frame::Header decoded;
        if (!ipc_frame::decodeHeader(header, decoded)) {
            parsed.outOfSync = true;
            break;
        }
        if (left - ipc_frame::kHeaderBytes < decoded.length) {
            parsed.trailingBytes = left;
            break;
        }
        IPCMessageStruct frame;
        frame.type = static_cast<IPCMessageType>(decoded.type);
        auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(pos + ipc_frame::kHeaderBytes);
        frame.data.assign(begin, begin + static_cast<std::ptrdiff_t>(decoded.length));
        parsed.frames.push_back(std::move(frame));
        pos += ipc_frame::kHeaderBytes + decoded.length;
    }
    return parsed;
}

ReadOutcome TestConnection::readFrame(IPCMessageStruct& frame, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    unsigned char header[ipc_frame::kHeaderBytes];
    switch (readExactly(fd(), header, sizeof header, deadline)) {
    case Exact::Closed:
        return ReadOutcome::Closed;
    case Exact::Failed:
        return ReadOutcome::Failed;
    case Exact::Complete:
        break;
    }
    ipc_frame::Header decoded;
    if (!ipc_frame::decodeHeader(header, decoded)) return ReadOutcome::OutOfSync;
    if (decoded.length > ipc_frame::kMaxPayloadBytes) return ReadOutcome::Failed;
    frame.type = static_cast<IPCMessageType>(decoded.type);
    frame.data.assign(decoded.length, 0);
    if (decoded.length == 0) return ReadOutcome::Frame;
    switch (readExactly(fd(), frame.data.data(), frame.data.size(), deadline)) {
    case Exact::Closed:
        return ReadOutcome::Closed;
    case Exact::Failed:
        return ReadOutcome::Failed;
    case Exact::Complete:
        break;
    }
    return ReadOutcome::Frame;
}

bool TestConnection::readUntilClosed(std::vector<char>& bytes, Millis timeout) {
    return readToEnd(fd(), bytes, Clock::now() + timeout);
}

bool TestConnection::writeRaw(std::vector<char> const& bytes) {
    return bytes.empty() || ipc_io::writeFully(fd(), bytes.data(), bytes.size());
}

bool TestConnection::writeFrame(uint32_t type, std::vector<char> const& payload) {
    IPCMessageStruct frame;
    frame.type = static_cast<IPCMessageType>(type);
    frame.data = payload;
    return ipc_io::writeFrame(fd(), frame);
}

bool TestConnection::writeInPieces(std::vector<char> const& bytes, std::vector<size_t> const& pieceSizes,
                                   Millis timeout) {
    size_t pos = 0;
    size_t piece = 0;
    while (pos < bytes.size()) {
        size_t size = piece < pieceSizes.size() ? pieceSizes[piece] : bytes.size() - pos;
        if (size > bytes.size() - pos) size = bytes.size() - pos;
        ++piece;
        if (!ipc_io::writeFully(fd(), bytes.data() + pos, size)) return false;
        pos += size;
        if (!waitUntilPeerHasRead(timeout)) return false;
    }
    return true;
}

size_t TestConnection::bytesUnreadByPeer() const {
    int amount = 0;
    if (::ioctl(fd(), SIOCOUTQ, &amount) != 0) return 0;
    return amount < 0 ? 0 : static_cast<size_t>(amount);
}

bool TestConnection::waitUntilPeerHasRead(Millis timeout) const {
    return eventually([this] { return bytesUnreadByPeer() == 0; }, timeout);
}

size_t TestConnection::bytesWaiting() const {
    int amount = 0;
    if (::ioctl(fd(), SIOCINQ, &amount) != 0) return 0;
    return amount < 0 ? 0 : static_cast<size_t>(amount);
}

bool TestConnection::waitForBytesWaiting(size_t atLeast, Millis timeout) const {
    return eventually([this, atLeast] { return bytesWaiting() >= atLeast; }, timeout);
}

void TestConnection::shutdownReading() { ::shutdown(fd(), SHUT_RD); }

TestServer::TestServer(Start start) {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kesu-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("mkdtemp " + pattern);
    directory = buffer.data();
    socketPath = directory + "/messenger";
    if (start == Start::Listening) listen();
}

TestServer::TestServer(std::string path) : socketPath(std::move(path)) { listen(); }

TestServer::~TestServer() {
    if (server.joinable()) stopServing();
    listening.reset();
    removePath();
    if (!directory.empty()) ::rmdir(directory.c_str());
}

void TestServer::listen(int backlog) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) fail("socket");
    ::unlink(socketPath.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) fail("bind " + socketPath);
    if (::listen(fd.get(), backlog) != 0) fail("listen");
    listening = std::move(fd);
}

ScopedFd TestServer::connectAsAnotherClient() const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ScopedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) fail("socket");
    if (::connect(fd.get(), reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) return ScopedFd();
    return fd;
}

void TestServer::stopListening() { listening.reset(); }

void TestServer::removePath() { ::unlink(socketPath.c_str()); }

std::unique_ptr<TestConnection> TestServer::accept(Millis timeout) {
    if (!listening.valid() || !waitReadable(listening.get(), Clock::now() + timeout)) return nullptr;
    ScopedFd fd(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) return nullptr;
    return std::make_unique<TestConnection>(std::move(fd));
}

bool TestServer::hasPendingConnection() const {
    if (!listening.valid()) return false;
    pollfd p{listening.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void TestServer::serveInBackground(Behaviour how) {
    behaviour = how;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail("pipe2");
    wakeRead.reset(pipeFds[0]);
    wakeWrite.reset(pipeFds[1]);
    server = std::thread([this] { serveLoop(); });
}

std::vector<TestServer::ConnectionRecord> TestServer::stopServing() {
    if (server.joinable()) {
        char wake = 'w';
        ssize_t ignored = ::write(wakeWrite.get(), &wake, 1);
        (void)ignored;
        server.join();
    }
    std::lock_guard<std::mutex> lock(recordsMutex);
    return records;
}

size_t TestServer::connectionsServed() const {
    std::lock_guard<std::mutex> lock(recordsMutex);
    return records.size();
}

bool TestServer::waitForConnectionsServed(size_t count, Millis timeout) const {
    std::unique_lock<std::mutex> lock(recordsMutex);
    return recordsChanged.wait_for(lock, timeout, [&] { return records.size() >= count; });
}

void TestServer::serveLoop() {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wakeRead.get(), POLLIN, 0});
        fds.push_back({listening.get(), POLLIN, 0});
        bool watchOpen = behaviour == Behaviour::ReadUntilClosed;
        if (watchOpen)
            for (Open const& connection : open) fds.push_back({connection.fd.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (watchOpen) {
            // fds[2 + i] belongs to open[i]; accepting comes after, so the two stay in step.
            std::vector<Open> stillOpen;
            for (size_t i = 0; i < open.size(); ++i) {
                if (fds[i + 2].revents == 0) {
                    stillOpen.push_back(std::move(open[i]));
                    continue;
                }
                char chunk[kChunkBytes];
                ssize_t n = ::recv(open[i].fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    appendToRecord(open[i].record, chunk, static_cast<size_t>(n), false);
                    stillOpen.push_back(std::move(open[i]));
                } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    stillOpen.push_back(std::move(open[i]));
                } else {
                    appendToRecord(open[i].record, nullptr, 0, true);  // closed by this
                }
            }
            open = std::move(stillOpen);
        }
        if (fds[1].revents != 0) {
            int fd = ::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) acceptInBackground(fd);
        }
    }
    finishServing();
}

void TestServer::acceptInBackground(int fd) {
    ScopedFd connection(fd);
    size_t record;
    {
        std::lock_guard<std::mutex> lock(recordsMutex);
        records.emplace_back();
        record = records.size() - 1;
    }
    recordsChanged.notify_all();
    if (behaviour == Behaviour::CloseAtOnce) {
        // From the shutdown on, the client's writes fail; what it wrote before
        // is still queued here and is kept, so the record holds exactly the
        // bytes the client managed to write.
        ::shutdown(connection.get(), SHUT_RD);
        std::vector<char> bytes;
        bool ended = readToEnd(connection.get(), bytes, Clock::now() + kEventTimeout);
        appendToRecord(record, bytes.data(), bytes.size(), ended);
        return;
    }
    open.push_back({std::move(connection), record});
}

void TestServer::finishServing() {
    if (listening.valid()) {
        int flags = ::fcntl(listening.get(), F_GETFL);
        ::fcntl(listening.get(), F_SETFL, flags | O_NONBLOCK);
        for (int fd; (fd = ::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) acceptInBackground(fd);
        ::fcntl(listening.get(), F_SETFL, flags);
    }
    auto deadline = Clock::now() + kEventTimeout;
    for (Open& connection : open) {
        std::vector<char> bytes;
        bool ended = readToEnd(connection.fd.get(), bytes, deadline);
        appendToRecord(connection.record, bytes.data(), bytes.size(), ended);
    }
    open.clear();
}

void TestServer::appendToRecord(size_t record, char const* data, size_t size, bool ended) {
    {
        std::lock_guard<std::mutex> lock(recordsMutex);
        ConnectionRecord& target = records[record];
        if (size > 0) target.bytes.insert(target.bytes.end(), data, data + size);
        if (ended) target.endedByPeer = true;
    }
    recordsChanged.notify_all();
}

}  // namespace kesu_test
