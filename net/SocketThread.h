#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class TSyncCall;

// Base of every object that raises events; handlers receive it as Sender.
class TObject {
public:
    virtual ~TObject() = default;
};

// A worker thread object. It is created suspended; Resume runs Execute once on a new
// thread. Terminate only sets a flag that Execute polls.
//
// The object must be owned by a std::shared_ptr: while Execute runs, the worker holds
// a reference of its own, so the owner may drop its reference at any time (also from
// inside an event handler) and the object is freed when the worker is done with it.
// Workers still running when the application object is destroyed are stopped and
// joined there.
class TSocketThread : public TObject, public std::enable_shared_from_this<TSocketThread> {
public:
    // The name the worker threads carry in the system's thread list.
    static constexpr const char* ThreadName = "velora-socket";

    TSocketThread();
    ~TSocketThread() override;
    TSocketThread(const TSocketThread&) = delete;
    TSocketThread& operator=(const TSocketThread&) = delete;

    // Starts the worker. The worker runs at most once; later calls do nothing.
    void Resume();
    // Requests termination from any thread. A Synchronize the worker is waiting in
    // returns at once, and its method is not run if it has not started yet.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    // Whether Resume has started the worker.
    bool Started() const { return FStarted.load(); }
    // Waits, without running the event loop, until hand-offs of workers wait for the
    // GUI thread, and returns how many do; 0 when none came within Timeout. Called on
    // the GUI thread.
    static int WaitForHandOffs(std::chrono::milliseconds Timeout);

protected:
    // The worker body; runs on the worker thread.
    virtual void Execute() = 0;
    // Asks the worker to stop and wakes it from whatever it blocks in. Called at
    // process end for workers still running; the default is Terminate.
    virtual void Stop();

    // Runs Method on the GUI thread (the thread of the application object) and waits
    // until it has returned. Called on the GUI thread, it just calls Method. Returns
    // early, without running Method, once termination is requested. An exception
    // thrown by Method leaves through the GUI thread's event loop; the worker is
    // released all the same.
    void Synchronize(const std::function<void()>& Method);

private:
    friend class TWorkerThreads;

    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    std::mutex FSyncLock;
    std::shared_ptr<TSyncCall> FPending;
};
