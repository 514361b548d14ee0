#include "STBThread.h"

#include <cstring>

#include "STBLogger.h"

namespace {
// The object whose run() the calling thread executes, if any: lets stop() and
// the destructor tell a call from the thread itself without reading members
// that only the owner writes.
thread_local const STBThread* currentThreadObject = nullptr;
}  // namespace

STBThread::STBThread() = default;

STBThread::~STBThread() {
    // A derived class must have stopped its thread already (its run() would
    // otherwise outlive its members); this only reclaims the POSIX thread.
    running.store(false, std::memory_order_release);
    if (!joinable) return;
    joinable = false;
    if (currentThreadObject == this) {
        pthread_detach(thread);  // destroyed by its own thread, which cannot join itself
        return;
    }
    pthread_join(thread, nullptr);
}

void STBThread::start(OnThreadCompletedListener* listener) {
    if (currentThreadObject == this) return;  // run() cannot restart itself
    if (joinable) {
        if (isRunning()) return;
        // run() stopped itself earlier; its thread may still be finishing.
        pthread_join(thread, nullptr);
        joinable = false;
    }
    completedListener = listener;
    // Raised before the thread exists, so run() never sees a false start.
    running.store(true, std::memory_order_release);
    joinable = true;
    int res = pthread_create(&thread, nullptr, &STBThread::threadMain, this);
    if (res != 0) {
        joinable = false;
        running.store(false, std::memory_order_release);
        STBLogRecord record = {"    ", "KESU", "info", {0, 0, 0, 0}, {1, 0, 1, 0}};
        STBLogger_log(&record, "", 1, __LINE__, __FILE__, "Can't start thread: %s", std::strerror(res));
    }
}

void STBThread::stop() {
    running.store(false, std::memory_order_release);
    // From run() itself only the flag changes; the owner's next stop(),
    // start() or the destructor reclaims the thread after run() returns.
    if (currentThreadObject == this) return;
    if (!joinable) return;
    joinable = false;
    pthread_join(thread, nullptr);
}

void* STBThread::threadMain(void* self) {
    auto* thread = static_cast<STBThread*>(self);
    currentThreadObject = thread;
    OnThreadCompletedListener* listener = thread->completedListener;
    thread->run();
    if (listener != nullptr) listener->onThreadCompleted(thread);
    currentThreadObject = nullptr;
    return nullptr;
}
