#pragma once

// A scripted XMPP server for the wire tests: it listens on 127.0.0.1, accepts one
// connection and runs a script on its own thread: send these bytes, expect exactly
// these bytes, expect nothing for a while, expect the client to close. Every wait is
// bounded; the first mismatch stops the script and is reported by Error().

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TScriptedPeer {
public:
    TScriptedPeer();
    ~TScriptedPeer();
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    uint16_t Port() const { return FPort; }

    // Sends Text; "{id}" stands for the id captured last by Expect.
    TScriptedPeer& Send(const QByteArray& Text);
    // Reads exactly as many bytes as Pattern describes and compares them; "{id}" in
    // Pattern matches ten lowercase hexadecimal digits and captures them.
    TScriptedPeer& Expect(const QByteArray& Pattern);
    // Fails when any byte arrives within Ms milliseconds.
    TScriptedPeer& ExpectNothing(int Ms);
    // Waits until the client closes the connection; fails on any byte before that.
    TScriptedPeer& ExpectClosed();
    // Gives the client time to handle what was sent, so that the next Send arrives as
    // a chunk of its own.
    TScriptedPeer& Pause(int Ms);
    // Runs a function on the peer's thread (e.g. to signal a step to the test).
    TScriptedPeer& Do(std::function<void()> Step);
    TScriptedPeer& Close();

    // Accepts the connection and runs the script on the peer's thread.
    void Start();
    bool Done() const { return FDone.load(); }
    // Empty when the whole script ran as written.
    QString Error() const;
    QStringList Ids() const;

private:
    struct TStep {
        enum { Send, Expect, Nothing, Closed, Pause, Do, Close } Kind;
        QByteArray Data = {};
        int Ms = 0;
        std::function<void()> Fn = {};
    };
    void Run();
    bool RunStep(const TStep& Step);
    bool ReadExactly(qsizetype Count, QByteArray& Out);
    void Fail(const QString& Message);

    int FListen = -1;
    int FConn = -1;
    uint16_t FPort = 0;
    std::vector<TStep> FSteps;
    std::thread FThread;
    std::atomic<bool> FDone{false};
    std::atomic<bool> FStop{false};
    mutable std::mutex FLock;
    QString FError;
    QStringList FIds;
};

// Runs the Qt event loop until Condition holds or TimeoutMs has passed; returns
// whether it holds.
bool RunUntil(const std::function<bool()>& Condition, int TimeoutMs = 10000);
// Runs the Qt event loop for Ms milliseconds.
void RunFor(int Ms);
