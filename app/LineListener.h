#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// Cuts a byte stream into LF-terminated lines. A CR just before the LF is dropped with it.
// Bytes after the last LF stay buffered for the next Feed.
class LineFramer {
public:
    // Longest line accepted, counted without its CR LF or LF.
    static constexpr qsizetype MaxLineLength = 16384;

    // Appends the complete lines found in `bytes` to `lines`, empty ones included. Returns
    // false once a line is longer than MaxLineLength (the lines before it are still appended);
    // the stream is then unusable and must be ended.
    bool Feed(QByteArrayView bytes, std::vector<QByteArray>& lines);

private:
    QByteArray FBuffer;
    qsizetype FScanned = 0; // bytes of FBuffer already known to hold no LF
};

// Text of one listener line: valid UTF-8 is decoded as UTF-8; any other line is read one
// character per byte, with "?" for each byte above 127.
QString DecodeListenerLine(QByteArrayView bytes);

// The local line listener: a TCP server on all IPv4 addresses where another program sends
// call records, one per LF-terminated line. Each accepted connection is read by its own worker
// thread, which sleeps until input or a stop arrives and hands every non-empty line to the
// GUI thread without waiting for it; an idle listener costs nothing. A line longer than
// LineFramer::MaxLineLength ends its connection; a last line without LF is dropped. At most
// MaxConnections connections are served at once; a further one is closed as soon as it is accepted,
// the others unaffected.
//
// Live in and use from the GUI thread only. Destroying the listener stops it.
class LineListener : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 64;

    explicit LineListener(QObject* parent = nullptr);
    ~LineListener() override;
    LineListener(const LineListener&) = delete;
    LineListener& operator=(const LineListener&) = delete;

    // Listens on all IPv4 addresses at `port` (0 picks a free port, see Port()). Stops a
    // previous listening first. Throws std::runtime_error naming the port and the reason when
    // the port cannot be listened on.
    void Start(quint16 port);
    // Stops accepting, closes the open connections and joins every worker; each ends at
    // once. Lines not yet raised are dropped: no OnLine follows Stop. Safe to call
    // when not listening and from inside OnLine.
    void Stop();
    bool IsListening() const;
    // The port listened on, 0 when not listening.
    quint16 Port() const;

    // Raised on the GUI thread for every non-empty line, in arrival order per connection. The
    // handler may call Stop, but must not delete the listener (deleteLater() it instead).
    // When it throws, the lines behind the one it failed on are raised on a later turn of the
    // event loop.
    std::function<void(const QString& line)> OnLine;

private:
    struct Inbox;
    struct Run;

    void Deliver();

    std::unique_ptr<Inbox> FInbox; // lines handed over by the workers, and their wake-up
    std::unique_ptr<Run> FRun;     // the current listening; null when stopped
    QSocketNotifier* FWakeNotifier = nullptr;
};
