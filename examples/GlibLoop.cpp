// kesu-example-glib [SOCKET]: a GLib main-loop application on the messenger.
// The inbox's descriptor is one more source of the default main context, so
// every message reaches the application on the loop's thread, as any other
// event of a GStreamer player would. SIGINT or SIGTERM end the loop; what
// the client delivered before its stop is then dispatched, down to the end
// of the connection.
#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cstdio>

#include "LoopApplication.h"
#include "kesu/ipc/IPCInbox.h"

namespace {

struct Loop {
    IPCInbox& inbox;
    LoopApplication& application;
};

gboolean onInboxReadable(gint /*fd*/, GIOCondition /*condition*/, gpointer data) {
    auto* loop = static_cast<Loop*>(data);
    loop->inbox.dispatch(loop->application);
    return G_SOURCE_CONTINUE;
}

gboolean onStopSignal(gpointer mainLoop) {
    g_main_loop_quit(static_cast<GMainLoop*>(mainLoop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    IPCMessengerClient client(argc > 1 ? argv[1] : IPCMessengerClient::kDefaultSocketPath);
    IPCInbox inbox(client);  // before start(): it hears the first connection
    if (!inbox.valid()) return 1;
    LoopApplication application(client);
    Loop loop{inbox, application};
    GMainLoop* mainLoop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(inbox.fd(), G_IO_IN, onInboxReadable, &loop);
    g_unix_signal_add(SIGINT, onStopSignal, mainLoop);
    g_unix_signal_add(SIGTERM, onStopSignal, mainLoop);

    client.start();
    g_main_loop_run(mainLoop);
    client.stop();
    inbox.dispatch(application);
    g_main_loop_unref(mainLoop);
    return 0;
}
