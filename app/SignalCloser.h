#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a call on the GUI thread, so that the window
// closes exactly as when the user closes it. The signal handler only writes a
// byte to a pipe; a socket notifier on the other end runs OnSignal.
class TSignalCloser : public QObject {
public:
    // Installs the handlers; one instance per process.
    explicit TSignalCloser(QObject* parent = nullptr);
    ~TSignalCloser() override;
    TSignalCloser(const TSignalCloser&) = delete;
    TSignalCloser& operator=(const TSignalCloser&) = delete;

    // Raised on the GUI thread once per signal received, only when set.
    std::function<void()> OnSignal;

private:
    void Drain();

    QSocketNotifier* FNotifier = nullptr;
};
