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
    pthread_mutex_lock(&doneMutex);
    waitForRuns(runsBegun);
    pthread_mutex_unlock(&doneMutex);
    pthread_cond_destroy(&doneCond);
    pthread_mutex_destroy(&doneMutex);
}

void STBThread::start(OnThreadCompletedListener* listener) {
    if (currentThreadObject == this) return;  // run() cannot restart itself
    pthread_mutex_lock(&doneMutex);
    if (isRunning()) {  // started and not stopped
        pthread_mutex_unlock(&doneMutex);
        return;
    }
    waitForRuns(runsBegun);  // run() stopped itself earlier; it may still be finishing
    completedListener = listener;
    // Raised before the thread exists, so run() never sees a false start.
    running.store(true, std::memory_order_release);
    ++runsBegun;
    // Released first: once the thread exists, run() may destroy this object.
    pthread_mutex_unlock(&doneMutex);
    pthread_t thread;
    int res = pthread_create(&thread, nullptr, &STBThread::threadMain, this);
    if (res == 0) {
        pthread_detach(thread);
        return;
    }
    pthread_mutex_lock(&doneMutex);
    ++runsEnded;
    running.store(false, std::memory_order_release);
    pthread_cond_broadcast(&doneCond);
    pthread_mutex_unlock(&doneMutex);
    STBLogRecord record = {"    ", "KESU", "info", {0, 0, 0, 0}, {1, 0, 1, 0}};
    STBLogger_log(&record, "", 1, __LINE__, __FILE__, "Can't start thread: %s", std::strerror(res));
}

void STBThread::stop() {
    pthread_mutex_lock(&doneMutex);
    running.store(false, std::memory_order_release);
    // From run() itself only the flag changes; the owner's next stop(),
    // start() or the destructor waits for run() to return.
    if (currentThreadObject != this) waitForRuns(runsBegun);
    pthread_mutex_unlock(&doneMutex);
}

void STBThread::waitForRuns(unsigned long begun) {
    while (runsEnded < begun) pthread_cond_wait(&doneCond, &doneMutex);
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
        ++thread->runsEnded;
        pthread_cond_broadcast(&thread->doneCond);
        pthread_mutex_unlock(&thread->doneMutex);
    }
    currentThreadObject = nullptr;
    return nullptr;
}
