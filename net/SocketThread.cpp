#include "SocketThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <pthread.h>
#include <thread>
#include <vector>

// The completion a worker waits on in Synchronize: signalled when the method has run
// (or thrown), or when termination is requested.
struct TSocketThread::TSyncCall {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;

    void Signal() {
        {
            std::lock_guard lock(Lock);
            Finished = true;
        }
        Done.notify_all();
    }
    void Wait() {
        std::unique_lock lock(Lock);
        Done.wait(lock, [this] { return Finished; });
    }
};

// The running workers of the process. Ended threads are joined when the next worker
// starts; the ones still running when the application object goes away (or, without
// one, at process end) are stopped and joined then, never from inside an event.
class TWorkerThreads {
public:
    static TWorkerThreads& Instance() {
        static TWorkerThreads threads;
        return threads;
    }

    ~TWorkerThreads() { StopAll(); }

    void Start(std::shared_ptr<TSocketThread> Worker) {
        std::call_once(FAtExit, [] { qAddPostRoutine([] { Instance().StopAll(); }); });
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<TSocketThread> weak = Worker;
        std::lock_guard lock(FLock);
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

private:
    struct TEntry {
        std::thread Thread;
        std::weak_ptr<TSocketThread> Worker;
        std::shared_ptr<std::atomic<bool>> Finished;
    };

    std::once_flag FAtExit;
    std::mutex FLock;
    std::vector<TEntry> FEntries;
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

void TSocketThread::Stop() {
    Terminate();
}

void TSocketThread::Synchronize(const std::function<void()>& Method) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
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
        std::weak_ptr<TSocketThread> self = weak_from_this();
        QMetaObject::invokeMethod(
            app,
            [self, call, Method] {
                struct TSignalOnExit {
                    TSyncCall& Call;
                    ~TSignalOnExit() { Call.Signal(); }
                } done{*call};
                // The owner may have released the object, or closed it, while this
                // event waited in the queue.
                const auto worker = self.lock();
                if (worker && !worker->Terminated()) {
                    Method();
                }
            },
            Qt::QueuedConnection);
    }
    call->Wait();
    std::lock_guard lock(FSyncLock);
    FPending.reset();
}
