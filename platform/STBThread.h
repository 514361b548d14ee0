// Platform library (libkesustb): thread base class.
// Public: box applications and the messenger client derive from it.
#pragma once

#include <pthread.h>

#include <atomic>

// A thread object: a derived class puts its body in run(). start() launches it
// on a new POSIX thread; stop() asks it to end and waits until run() has
// returned. run() learns of the request by polling isRunning().
class STBThread {
public:
    // Told on the finished thread, right after run() returns.
    class OnThreadCompletedListener {
    public:
        virtual void onThreadCompleted(STBThread* thread) = 0;

    protected:
        ~OnThreadCompletedListener() = default;
    };

    STBThread();
    // Waits for a run() still going on another thread; destroying the object
    // from its own run() is allowed.
    virtual ~STBThread();
    STBThread(const STBThread&) = delete;
    STBThread& operator=(const STBThread&) = delete;

    virtual void run() = 0;

    // isRunning() is true from the return of start() until stop() is called.
    // Starting a thread that was started and not stopped yet does nothing; a
    // start after a stop runs run() again on a new thread (after a stop from
    // run() itself, once the previous run() has returned).
    void start(OnThreadCompletedListener* listener);

    // Makes isRunning() false, then returns once run() has returned. Safe to
    // call when the thread never started, more than once, from several threads
    // at once (each returns once run() has returned), and from run() itself
    // (which cannot wait for itself, so it only clears the flag; the owner's
    // next stop() still waits for run() to return).
    void stop();

    bool isRunning() const { return running.load(std::memory_order_acquire); }

private:
    static void* threadMain(void* self);
    // Until every run() begun before the call has returned; doneMutex held.
    void waitForRuns(unsigned long begun);

    std::atomic<bool> running{false};  // written under doneMutex
    OnThreadCompletedListener* completedListener = nullptr;
    // Runs are counted rather than flagged, so that a stop() waits for the
    // run it stopped and not for one that a start() on another thread began
    // meanwhile. runsEnded is raised by the thread after run() and the
    // listener, as its last touch of this object; waiting for it rather than
    // joining spares the owner the POSIX thread's own teardown (the thread is
    // detached and ends by itself).
    pthread_mutex_t doneMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t doneCond = PTHREAD_COND_INITIALIZER;
    unsigned long runsBegun = 0;  // guarded by doneMutex
    unsigned long runsEnded = 0;  // guarded by doneMutex
};
