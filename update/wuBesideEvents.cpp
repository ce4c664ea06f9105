#include "wuBesideEvents.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <mutex>
#include <thread>

namespace {

// Ends the local event loop when the work is done. The worker posts under
// the lock that event() takes first, so that thread checkers see the
// hand-over that Qt's own queue makes.
class TWorkDone : public QObject {
public:
    std::mutex Lock;
    QEventLoop Loop;

    bool event(QEvent* event) override {
        { const std::lock_guard lock(Lock); }
        if (event->type() != QEvent::User)
            return QObject::event(event);
        Loop.quit();
        return true;
    }
};

} // namespace

bool wuRunBesideEvents(const std::function<bool()>& work) {
    TWorkDone done;
    bool result = false;
    std::thread worker([&] {
        result = work();
        const std::lock_guard lock(done.Lock);
        QCoreApplication::postEvent(&done, new QEvent(QEvent::User));
    });
    done.Loop.exec();
    worker.join();
    return result;
}
