// kesu-connect-write: the floor of a whole-process launch. Connects to the
// messenger socket, writes one type-54 frame carrying the URI (the frame the
// launcher writes) and exits: no threads, no library, no platform library.
//
//   kesu-connect-write URI [SOCKET_PATH]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void putU32(std::vector<unsigned char>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s URI [SOCKET_PATH]\n", argv[0]);
        return 2;
    }
    const char* path = argc > 2 ? argv[2] : "/tmp/kesu_messenger";
    const auto uriBytes = static_cast<uint32_t>(std::strlen(argv[1]));

    std::vector<unsigned char> frame;
    putU32(frame, 54);
    frame[0] = 0x6D;
    putU32(frame, uriBytes + 5);  // length, text, terminator
    putU32(frame, uriBytes);
    frame.insert(frame.end(), argv[1], argv[1] + uriBytes);
    frame.push_back(0);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return 1;
    std::strcpy(address.sun_path, path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        return 1;
    }
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            std::perror("send");
            return 1;
        }
        sent += static_cast<size_t>(n);
    }
    ::close(fd);
    std::puts("Message sent");
    return 0;
}
