// uri-launcher: asks the box's messenger server to launch one URI.
#include <cstdio>
#include <string>

#include "UriLauncher.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("Usage: %s <uri>\n", argv[0]);
        return 1;
    }
    UriLauncher launcher;
#ifdef KESU_TRUSTED_SERVER_UID
    // Built in (CMake's KESU_TRUSTED_SERVER_UID): another program that got to
    // the socket path first never sees the URI.
    launcher.trustServerUid(KESU_TRUSTED_SERVER_UID);
#endif
    std::string uri(argv[1]);  // further arguments are ignored
    if (launcher.launchUri(uri))
        std::puts("Message sent");
    else
        std::puts("Timeout sending message");
    return 0;
}
