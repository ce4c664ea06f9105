#pragma once

// Waits, outside any timed part, until the socket workers of released facades have
// ended, so that a worker still closing down does not take CPU from the reference
// measured next.

#include "SocketThread.h"

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

inline int RunningSocketWorkers() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == TSocketThread::ThreadName)
            ++count;
    }
    return count;
}

// Bounded: gives up after five seconds.
inline void WaitForSocketWorkersToEnd() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (RunningSocketWorkers() > 0 && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}
