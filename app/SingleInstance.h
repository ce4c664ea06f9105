#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

// One running program per user. The running one holds a lock file in the
// user's runtime folder and listens on a local socket beside it; a later
// start finds the lock taken, asks the running one to show its window and
// ends without touching anything else.
class TSingleInstance : public QObject {
public:
    // folder: the user's private runtime folder (XDG_RUNTIME_DIR); it holds
    // "velora.lock" and "velora.socket".
    explicit TSingleInstance(const QString& folder, QObject* parent = nullptr);
    ~TSingleInstance() override;
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // The user's runtime folder as Qt finds it (created when missing).
    static QString RuntimeFolder();

    // Takes the lock; true when this process is the one that runs. A lock
    // left by a process that no longer runs is taken over.
    bool TryLock();

    // Asks the running program to show its window. The running one may still
    // be starting, so this tries again until it answers or timeoutMs have
    // passed. True when it answered.
    bool HandOver(int timeoutMs) const;

    // Listens for later starts; call once TryLock has succeeded and the event
    // loop can run. A socket left by a crashed process is replaced.
    bool Listen();

    // Raised on the GUI thread each time a later start asks for the window.
    std::function<void()> OnActivate;

private:
    QString FFolder;
    std::unique_ptr<QLockFile> FLock;
    QLocalServer* FServer = nullptr;
};
