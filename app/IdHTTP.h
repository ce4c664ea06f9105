#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

class TIdHTTP;

// Direction of a transfer that a progress report is about.
enum TWorkMode { wmRead, wmWrite };

using TWorkBeginEvent =
    std::function<void(TIdHTTP* ASender, TWorkMode AWorkMode, std::int64_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TIdHTTP* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdHTTP* ASender, TWorkMode AWorkMode)>;

// The window's HTTP client for the self-update download, on the same HTTP
// layer as the update component. It sends User-Agent
// "Mozilla/3.0 (compatible; Indy Library)" and a browser's Accept header,
// keeps no cookies, uses no proxy and no credentials, and does not follow
// redirections. Runs on the calling thread.
class TIdHTTP {
public:
    TIdHTTP() = default;
    TIdHTTP(const TIdHTTP&) = delete;
    TIdHTTP& operator=(const TIdHTTP&) = delete;

    // Fetches URL and returns the whole body. Throws std::runtime_error when
    // no connection comes about, the connection breaks before the announced
    // length has arrived, or the status is not 2xx. An exception thrown by a
    // progress handler ends the transfer and passes on.
    QByteArray Get(const QString& URL);

    // A PEM file of issuers trusted for https besides the system's; empty:
    // the system's alone.
    QString CaFile() const { return FCaFile; }
    void SetCaFile(const QString& value) { FCaFile = value; }

    // Reading the answer: OnWorkBegin once the status line and headers have
    // arrived, with the announced length (0 when there is none); OnWork after
    // every piece of the body with the bytes so far; OnWorkEnd when the
    // transfer ends after OnWorkBegin, whichever way.
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

private:
    QString FCaFile;
};
