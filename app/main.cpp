// uri-launcher: asks the box's messenger server to launch one URI.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "UriLauncher.h"
#include "kesu/private/KesuLog.h"

namespace {

constexpr const char* kLogFileMain = "app/main.cpp";

const char kHelp[] =
    "Asks the box's messenger server to launch <uri>, sent as one message of\n"
    "type 54; arguments after it are ignored. Prints \"Message sent\" once the\n"
    "message was written whole, or \"Timeout sending message\" after about 3 s\n"
    "without; the exit status is 0 either way, and 1 without a URI.\n"
    "\n"
    "  -h, --help   print this text\n"
    "  --version    print the version\n"
    "  --           ends the options: the next argument is the URI, even one\n"
    "               that begins with '-' (no URI does)\n"
    "\n"
    "Environment:\n"
    "  KESU_MESSENGER_SOCKET  the server's socket path instead of\n"
    "                         /tmp/kesu_messenger (logged at level 3)\n"
    "  KESU_LOG_LEVEL         what is logged to standard error: 0 nothing,\n"
    "                         1 failures, 2 also retry waits (default),\n"
    "                         3 connection state, 4 successes, 5 every message\n";

}  // namespace

int main(int argc, char** argv) {
    // Options come before the URI only: everything after it is ignored. An
    // argument that begins with '-' cannot be a URI.
    int first = 1;
    if (first < argc && argv[first][0] == '-') {
        const std::string option = argv[first];
        if (option == "-h" || option == "--help") {
            std::printf("Usage: %s <uri>\n%s", argv[0], kHelp);
            return 0;
        }
        if (option == "--version") {
            std::printf("uri-launcher %s\n", KESU_VERSION);
            return 0;
        }
        if (option != "--") {
            std::fprintf(stderr, "uri-launcher: '%s' is not a URI (a URI never begins with '-'); see --help\n",
                         option.c_str());
            return 1;
        }
        ++first;
    }
    if (first >= argc) {
        std::printf("Usage: %s <uri>\n", argv[0]);
        return 1;
    }
    // Another path for the server: a development server, or a test's.
    const char* socketPath = std::getenv("KESU_MESSENGER_SOCKET");
    const bool otherPath = socketPath != nullptr && *socketPath != '\0';
    if (otherPath) KESU_LOG(3, 61, kLogFileMain, "Socket path from KESU_MESSENGER_SOCKET: %s", socketPath);
    UriLauncher launcher(otherPath ? socketPath : IPCMessengerClient::kDefaultSocketPath);
#ifdef KESU_TRUSTED_SERVER_UID
    // Built in (CMake's KESU_TRUSTED_SERVER_UID): another program that got to
    // the socket path first never sees the URI.
    launcher.trustServerUid(KESU_TRUSTED_SERVER_UID);
#endif
    std::string uri(argv[first]);  // further arguments are ignored
    if (launcher.launchUri(uri))
        std::puts("Message sent");
    else
        std::puts("Timeout sending message");
    return 0;
}
