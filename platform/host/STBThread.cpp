#include "STBThread.h"

#include <cstring>

#include "STBLogger.h"

namespace {
// The object whose run() the calling thread executes, if any: lets stop() and
// the destructor tell a call from the thread itself without reading members
// that only the owner writes. Cleared when run() destroys its own object.
thread_local const STBThread* currentThreadObject = nullptr;
}  // namespace

STBThread::STBThread() = default;

STBThread::~STBThread() {
    // A derived class must have stopped its thread already (its run() would
    // otherwise outlive its members).
    running.store(false, std::memory_order_release);
    if (currentThreadObject == this) {
        currentThreadObject = nullptr;  // destroyed from run(): the thread must not touch it again
        return;
    }
    if (started) waitForRunToReturn();
    pthread_cond_destroy(&doneCond);
    pthread_mutex_destroy(&doneMutex);
}

void STBThread::start(OnThreadCompletedListener* listener) {
    if (currentThreadObject == this) return;  // run() cannot restart itself
    if (started) {
        if (isRunning()) return;
        waitForRunToReturn();  // run() stopped itself earlier; it may still be finishing
        started = false;
    }
    completedListener = listener;
    // Raised before the thread exists, so run() never sees a false start.
    running.store(true, std::memory_order_release);
    runReturned = false;  // no thread touches it before pthread_create: no lock needed
    started = true;
    pthread_t thread;
    int res = pthread_create(&thread, nullptr, &STBThread::threadMain, this);
    if (res == 0) {
        pthread_detach(thread);
        return;
    }
    started = false;
    runReturned = true;
    running.store(false, std::memory_order_release);
    STBLogRecord record = {"    ", "KESU", "info", {0, 0, 0, 0}, {1, 0, 1, 0}};
    STBLogger_log(&record, "", 1, __LINE__, __FILE__, "Can't start thread: %s", std::strerror(res));
}

void STBThread::stop() {
    running.store(false, std::memory_order_release);
    // From run() itself only the flag changes; the owner's next stop(),
    // start() or the destructor waits for run() to return.
    if (currentThreadObject == this) return;
    if (!started) return;
    started = false;
    waitForRunToReturn();
}

void STBThread::waitForRunToReturn() {
    pthread_mutex_lock(&doneMutex);
    while (!runReturned) pthread_cond_wait(&doneCond, &doneMutex);
    pthread_mutex_unlock(&doneMutex);
}

void* STBThread::threadMain(void* self) {
    auto* thread = static_cast<STBThread*>(self);
    currentThreadObject = thread;
    OnThreadCompletedListener* listener = thread->completedListener;
    thread->run();
    if (listener != nullptr) listener->onThreadCompleted(thread);
    if (currentThreadObject == thread) {
        // The owner may destroy the object as soon as the mutex is released.
        pthread_mutex_lock(&thread->doneMutex);
        thread->runReturned = true;
        pthread_cond_broadcast(&thread->doneCond);
        pthread_mutex_unlock(&thread->doneMutex);
    }
    currentThreadObject = nullptr;
    return nullptr;
}
