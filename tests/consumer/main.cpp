// A box application built against the installed library, with lock annotations and headers of its own
// under common names, which the library's must leave alone. It runs a client (that retries) and decodes a frame.
#include <cstdio>

#include "KesuLog.h"
#include "thread_annotations.h"
#include <kesu/ipc/IPCMessageFactory.h>
#include <kesu/ipc/IPCMessengerClient.h>

#if !defined(APP_OWN_THREAD_ANNOTATIONS) || !defined(APP_OWN_KESU_LOG)
#error "a library header shadows the application's own"
#endif
#if defined(REQUIRES) || defined(ACQUIRE) || defined(RELEASE) || defined(EXCLUDES) || defined(CAPABILITY)
#error "the library defines unprefixed lock annotations"
#endif

int launches GUARDED_BY(nothing) = 0;  // the application's own macro, still in force

int main() {
    IPCMessengerClient client("/nonexistent/kesu-consumer");
    client.start();
    IPCMessageSimpleString sent(IPC_MSG_LAUNCH_URI, "consumer");
    sent.serialize();
    auto message = IPCMessageFactory::getMessage(sent.messageStruct);
    message->unserialize();
    client.stop();
    auto* uri = dynamic_cast<IPCMessageSimpleString*>(message.get());
    std::printf("consumer decoded \"%s\"\n", uri ? uri->text.c_str() : "");
    return uri && uri->text == "consumer" ? 0 : 1;
}
