#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// Stops a running transfer from the thread that runs it, at whatever stage
// (name lookup, connect, waiting for the answer, body), within milliseconds.
// One token may serve one transfer after another; Reset clears a request.
class TwuHttpAbort {
public:
    void Request();
    bool Requested() const;
    void Reset();

    // For the transfer: how to wake it when an abort is requested.
    void Attach(std::function<void()> wake);
    void Detach();

private:
    mutable std::mutex FLock;
    bool FRequested = false;
    std::function<void()> FWake;
};

// One HTTP GET over libcurl. The update component and the program's own
// self-update download share it; each fills the request options the way it needs.
struct TwuHttpRequest {
    QString Url;          // full address with its scheme, "http://" or "https://"
    QByteArray UserAgent; // empty: no User-Agent header
    QByteArray Accept = "*/*";
    bool Http10 = false;             // send "GET {path} HTTP/1.0"
    bool NoCache = false;            // ask every cache on the way for a fresh copy
    bool UseProxyEnvironment = true; // false: never a proxy, whatever the environment says
    // A PEM file of issuers trusted for https besides the system's; empty:
    // the system's alone.
    QString CaFile;
    QString UserName; // sent with Password as Basic credentials when not empty
    QString Password;
    // Follow a server's 3xx answers, at most 10 in a row. From an https
    // address only to https addresses.
    bool FollowRedirects = true;
    bool FailOnHttpError = false; // a status of 400 or more ends the transfer as failed
    // Read the body up to the end of the connection even when Content-Length
    // says otherwise, so that a short or a long body shows in the count.
    bool IgnoreContentLength = false;
    std::size_t MaxChunk = 0;            // largest piece handed to OnData; 0: as received
    std::shared_ptr<TwuHttpAbort> Abort; // optional
};

struct TwuHttpResponse {
    bool Received = false;                   // a status line arrived
    long Status = 0;                         // status code of the final response
    std::optional<QByteArray> ContentLength; // the header's text, trimmed, when present
};

struct TwuHttpHandlers {
    // Called exactly once per transfer that no handler stopped and nobody
    // aborted: before the first piece of the body, or at the end when there
    // was no body (also when no response came at all). Returning false stops
    // the transfer.
    std::function<bool(const TwuHttpResponse& response)> OnResponse;
    // Called for every piece of the body, in order, at most MaxChunk bytes
    // each. Returning false stops the transfer before the next piece.
    std::function<bool(const char* data, std::size_t size)> OnData;
};

struct TwuHttpResult {
    bool Completed = false; // the body was read to its end without a transport error
    bool Stopped = false;   // a handler returned false
    bool Aborted = false;   // the abort token, or the end of the application, stopped it
    QString Error;          // libcurl's description when not Completed
};

// Runs the transfer on a worker thread while the calling thread runs a local
// event loop, so timers, sockets and repaints go on meanwhile. The handlers
// run on the calling thread, in order, and never inside one another (a
// handler may process pending events). When the application is asked to end
// while the transfer runs, the transfer is aborted.
//
// An exception thrown by a handler stops the transfer and is thrown again
// from here once the worker has let go of the connection.
TwuHttpResult wuHttpGet(const TwuHttpRequest& request, const TwuHttpHandlers& handlers);
