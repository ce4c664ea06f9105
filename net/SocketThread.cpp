#include "SocketThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <pthread.h>
#include <thread>
#include <unordered_set>
#include <vector>

// The completion a worker waits on in Synchronize: signalled when the method has run
// (or thrown), when its event is dropped unrun, or when termination is requested.
class TSyncCall {
public:
    void Signal() {
        {
            std::lock_guard lock(FLock);
            FFinished = true;
        }
        FDone.notify_all();
    }
    void Wait() {
        std::unique_lock lock(FLock);
        FDone.wait(lock, [this] { return FFinished; });
    }

private:
    std::mutex FLock;
    std::condition_variable FDone;
    bool FFinished = false;
};

namespace {

class TGuiDispatcher;

// One hand-off from a worker to the GUI thread. Once posted, it belongs to the GUI
// thread's event queue alone; the worker only waits on the completion.
class TSyncEvent : public QEvent {
public:
    TSyncEvent(TGuiDispatcher& Dispatcher, std::weak_ptr<TSocketThread> Worker,
               std::shared_ptr<TSyncCall> Call, std::function<void()> Method);
    ~TSyncEvent() override;

    void Run() {
        // Signalled on the way out, also when the method throws: the exception goes on
        // into the event loop, the worker must not wait for it.
        struct TSignalOnExit {
            TSyncCall& Call;
            ~TSignalOnExit() { Call.Signal(); }
        } done{*FCall};
        // The owner may have released the object, or closed it, while this event
        // waited in the queue.
        const auto worker = FWorker.lock();
        if (worker && !worker->Terminated()) {
            FMethod();
        }
    }

private:
    TGuiDispatcher& FDispatcher;
    std::weak_ptr<TSocketThread> FWorker;
    std::shared_ptr<TSyncCall> FCall;
    std::function<void()> FMethod;
};

// Lives on the GUI thread and runs the hand-offs posted to it.
//
// Qt's queue already orders a hand-off, but through locks of its own that thread
// checkers cannot see. So the events in flight are also kept in a set under a lock of
// ours, taken before an event is touched on the GUI thread, and workers post one at
// a time under another.
class TGuiDispatcher : public QObject {
public:
    ~TGuiDispatcher() override {
        // Dropped events reach Forget below, which must still find this object whole.
        QCoreApplication::removePostedEvents(this);
    }

    void Post(TSyncEvent* Event) {
        {
            std::lock_guard lock(FLock);
            FInFlight.insert(Event);
        }
        FPosted.notify_all();
        std::lock_guard posting(FPostLock);
        QCoreApplication::postEvent(this, Event);
    }
    int WaitForInFlight(std::chrono::milliseconds Timeout) {
        std::unique_lock lock(FLock);
        FPosted.wait_for(lock, Timeout, [this] { return !FInFlight.empty(); });
        return int(FInFlight.size());
    }
    void Forget(TSyncEvent* Event) {
        std::lock_guard lock(FLock);
        FInFlight.erase(Event);
    }

    bool event(QEvent* Event) override {
        bool ours;
        {
            std::lock_guard lock(FLock);
            ours = FInFlight.erase(Event) > 0;
        }
        if (ours) {
            static_cast<TSyncEvent*>(Event)->Run();
            return true;
        }
        return QObject::event(Event);
    }

private:
    std::mutex FLock;
    std::mutex FPostLock;
    std::unordered_set<QEvent*> FInFlight;
    std::condition_variable FPosted;
};

TSyncEvent::TSyncEvent(TGuiDispatcher& Dispatcher, std::weak_ptr<TSocketThread> Worker,
                       std::shared_ptr<TSyncCall> Call, std::function<void()> Method)
    : QEvent(QEvent::User), FDispatcher(Dispatcher), FWorker(std::move(Worker)),
      FCall(std::move(Call)), FMethod(std::move(Method)) {}

TSyncEvent::~TSyncEvent() {
    // Dropped unrun (its receiver went away): the worker must not wait for it.
    FDispatcher.Forget(this);
    FCall->Signal();
}

} // namespace

// The running workers of the process and the GUI-thread end of their hand-offs.
// Ended threads are joined when the next worker starts; the ones still running when
// the application object goes away (or, without one, at process end) are stopped and
// joined then, never from inside an event.
class TWorkerThreads {
public:
    static TWorkerThreads& Instance() {
        static TWorkerThreads threads;
        return threads;
    }

    ~TWorkerThreads() { StopAll(); }

    // Called on the GUI thread.
    void Start(std::shared_ptr<TSocketThread> Worker) {
        std::call_once(FAtExit, [] {
            qAddPostRoutine([] {
                Instance().StopAll();
                Instance().FDispatcher.reset();
            });
        });
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<TSocketThread> weak = Worker;
        std::lock_guard lock(FLock);
        if (!FDispatcher && QCoreApplication::instance()) {
            FDispatcher = std::make_unique<TGuiDispatcher>();
            FDispatcher->moveToThread(QCoreApplication::instance()->thread());
        }
        std::erase_if(FEntries, [](TEntry& entry) {
            if (!entry.Finished->load()) {
                return false;
            }
            entry.Thread.join();
            return true;
        });
        std::thread thread([Worker = std::move(Worker), finished]() mutable {
            pthread_setname_np(pthread_self(), TSocketThread::ThreadName);
            Worker->Execute();
            // The worker's reference may be the last one: the object is freed here.
            Worker.reset();
            finished->store(true);
        });
        FEntries.push_back({std::move(thread), std::move(weak), std::move(finished)});
    }

    void StopAll() {
        std::vector<TEntry> entries;
        {
            std::lock_guard lock(FLock);
            entries.swap(FEntries);
        }
        for (TEntry& entry : entries) {
            if (auto worker = entry.Worker.lock()) {
                worker->Stop();
            }
        }
        for (TEntry& entry : entries) {
            entry.Thread.join();
        }
    }

    // Set before the first worker starts and kept until every worker has ended.
    TGuiDispatcher* Dispatcher() const { return FDispatcher.get(); }

private:
    struct TEntry {
        std::thread Thread;
        std::weak_ptr<TSocketThread> Worker;
        std::shared_ptr<std::atomic<bool>> Finished;
    };

    std::once_flag FAtExit;
    std::mutex FLock;
    std::vector<TEntry> FEntries;
    std::unique_ptr<TGuiDispatcher> FDispatcher;
};

TSocketThread::TSocketThread() = default;

TSocketThread::~TSocketThread() = default;

void TSocketThread::Resume() {
    if (FStarted.exchange(true)) {
        return;
    }
    TWorkerThreads::Instance().Start(shared_from_this());
}

void TSocketThread::Terminate() {
    // The flag is set before the lock is taken, so a Synchronize that registers its
    // call after this point sees it and does not wait.
    FTerminated.store(true);
    std::lock_guard lock(FSyncLock);
    if (FPending) {
        FPending->Signal();
    }
}

int TSocketThread::WaitForHandOffs(std::chrono::milliseconds Timeout) {
    TGuiDispatcher* dispatcher = TWorkerThreads::Instance().Dispatcher();
    return dispatcher ? dispatcher->WaitForInFlight(Timeout) : 0;
}

void TSocketThread::Stop() {
    Terminate();
}

void TSocketThread::Synchronize(const std::function<void()>& Method) {
    TGuiDispatcher* dispatcher = TWorkerThreads::Instance().Dispatcher();
    if (!dispatcher || QThread::currentThread() == dispatcher->thread()) {
        Method();
        return;
    }
    auto call = std::make_shared<TSyncCall>();
    {
        std::lock_guard lock(FSyncLock);
        if (Terminated()) {
            return;
        }
        FPending = call;
        dispatcher->Post(new TSyncEvent(*dispatcher, weak_from_this(), call, Method));
    }
    call->Wait();
    std::lock_guard lock(FSyncLock);
    FPending.reset();
}
