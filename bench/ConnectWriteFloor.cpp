// kesu-connect-write URI: the floor of a whole-process launch. Connects to
// /tmp/kesu_messenger, writes the one type-54 frame that uri-launcher writes
// (marker and type, length, text length, text, terminator) and exits: no
// threads, no library, no platform library.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s URI\n", argv[0]);
        return 2;
    }
    const std::string uri = argv[1];
    std::string frame;
    for (uint32_t field : {0x6D000036u, static_cast<uint32_t>(uri.size() + 5), static_cast<uint32_t>(uri.size())})
        for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>(field >> shift);
    frame += uri;
    frame += '\0';
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/tmp/kesu_messenger");
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        std::perror("kesu-connect-write");
        return 1;
    }
    ::close(fd);
    std::puts("Message sent");
    return 0;
}
