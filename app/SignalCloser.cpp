#include "SignalCloser.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// The handler may touch nothing but this descriptor.
int gSignalPipe[2] = {-1, -1};

void OnSignalRaised(int) {
    const char byte = 1;
    const int saved = errno;
    [[maybe_unused]] const auto written = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TSignalCloser::TSignalCloser(QObject* parent) : QObject(parent) {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("Nelze vytvořit rouru pro signály");
    FNotifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = OnSignalRaised;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

TSignalCloser::~TSignalCloser() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    delete FNotifier;
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
}

void TSignalCloser::Drain() {
    char buffer[64];
    ssize_t n;
    while ((n = ::read(gSignalPipe[0], buffer, sizeof buffer)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (OnSignal)
                OnSignal();
}
