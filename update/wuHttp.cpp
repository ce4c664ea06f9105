#include "wuHttp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <algorithm>
#include <condition_variable>
#include <curl/curl.h>
#include <deque>
#include <exception>
#include <openssl/ssl.h>
#include <thread>
#include <vector>

void TwuHttpAbort::Request() {
    std::function<void()> wake;
    {
        const std::lock_guard lock(FLock);
        FRequested = true;
        wake = FWake;
    }
    if (wake)
        wake();
}

bool TwuHttpAbort::Requested() const {
    const std::lock_guard lock(FLock);
    return FRequested;
}

void TwuHttpAbort::Reset() {
    const std::lock_guard lock(FLock);
    FRequested = false;
}

void TwuHttpAbort::Attach(std::function<void()> wake) {
    const std::lock_guard lock(FLock);
    FWake = std::move(wake);
}

void TwuHttpAbort::Detach() {
    const std::lock_guard lock(FLock);
    FWake = nullptr;
}

namespace {

void InitCurlOnce() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
}

// The body the worker may hold ahead of the calling thread.
constexpr qsizetype kMaxQueued = 8 * 1024 * 1024;
// libcurl's receive buffer: one piece per network read of up to this size.
constexpr long kReceiveBuffer = 1024 * 1024;
// Pieces the calling thread has not taken yet are joined up to this size, so
// that a busy calling thread meets fewer, larger pieces.
constexpr qsizetype kJoinedPiece = 1024 * 1024;
constexpr std::size_t kSpareBuffers = 4;
// The calling thread hands pieces to the handlers for at most this long
// before it lets its other events run.
constexpr qint64 kDrainSliceMs = 10;
// How long the worker sleeps in one wait for the network; an abort wakes it earlier.
constexpr int kPollMs = 1000;

// Qt's queue orders the wake-ups, but through locks of its own that thread
// checkers cannot see: the receiver takes the shared lock before it looks at
// an event, and the worker posts under that lock.
const QEvent::Type kWakeEvent = QEvent::User;

struct TEvent {
    enum Kind { Response, Data, Finished } Type;
    TwuHttpResponse Answer;
    QByteArray Bytes;
    CURLcode Code = CURLE_OK;
};

// Shared by the worker and the calling thread; whichever ends last frees it.
struct TShared {
    std::mutex Lock;
    std::condition_variable SpaceFreed;
    std::deque<TEvent> Events;
    // Buffers of pieces already handled, kept for the next ones: fresh memory
    // for every piece costs more than copying into it.
    std::vector<QByteArray> Spare;
    qsizetype Queued = 0;
    bool Cancelled = false;
    bool WakePosted = false;
    CURLM* Multi = nullptr;
    // The calling thread's receiver of the wake-ups; null once it is gone.
    QObject* Receiver = nullptr;

    void Cancel() {
        const std::lock_guard lock(Lock);
        Cancelled = true;
        if (Multi)
            curl_multi_wakeup(Multi);
        SpaceFreed.notify_all();
    }

    // With Lock held.
    void PostWake() {
        if (WakePosted || !Receiver)
            return;
        WakePosted = true;
        QCoreApplication::postEvent(Receiver, new QEvent(kWakeEvent));
    }

    // Returns false when the transfer was cancelled meanwhile.
    bool Push(TEvent event) {
        std::unique_lock lock(Lock);
        SpaceFreed.wait(lock, [this] { return Cancelled || Queued < kMaxQueued; });
        if (Cancelled && event.Type != TEvent::Finished)
            return false;
        Queued += event.Bytes.size();
        Events.push_back(std::move(event));
        PostWake();
        return true;
    }

    // A piece of the body: added to the last piece not taken yet while that
    // has room, else queued as a new one.
    bool PushData(const char* data, qsizetype size) {
        {
            std::unique_lock lock(Lock);
            SpaceFreed.wait(lock, [this] { return Cancelled || Queued < kMaxQueued; });
            if (Cancelled)
                return false;
            if (!Events.empty() && Events.back().Type == TEvent::Data &&
                Events.back().Bytes.size() + size <= kJoinedPiece) {
                Events.back().Bytes.append(data, size);
                Queued += size;
                PostWake();
                return true;
            }
        }
        QByteArray bytes;
        {
            const std::lock_guard lock(Lock);
            if (!Spare.empty()) {
                bytes = std::move(Spare.back());
                Spare.pop_back();
            }
        }
        if (bytes.capacity() < size)
            bytes.reserve(std::max(size, std::min<qsizetype>(kJoinedPiece, 4 * size)));
        bytes.append(data, size);
        return Push({TEvent::Data, {}, std::move(bytes), CURLE_OK});
    }
};

// The worker's side: libcurl's callbacks, on the worker thread.
struct TWorker {
    std::shared_ptr<TShared> Shared;
    TwuHttpResponse Answer;
    bool Answered = false;

    bool SendAnswer() {
        Answered = true;
        return Shared->Push({TEvent::Response, Answer, {}, CURLE_OK});
    }
};

std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* worker = static_cast<TWorker*>(user);
    const QByteArray line(data, static_cast<qsizetype>(size * count));
    // Every response (an interim one, or one that is followed elsewhere) starts
    // afresh; only the last one's headers describe the body we get.
    if (line.startsWith("HTTP/")) {
        worker->Answer.Received = true;
        worker->Answer.ContentLength.reset();
        const QList<QByteArray> parts = line.simplified().split(' ');
        worker->Answer.Status = parts.size() > 1 ? parts[1].toLong() : 0;
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        if (line.left(colon).trimmed().compare("Content-Length", Qt::CaseInsensitive) == 0)
            worker->Answer.ContentLength = line.mid(colon + 1).trimmed();
    }
    return size * count;
}

std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* worker = static_cast<TWorker*>(user);
    const std::size_t total = size * count;
    if (total == 0)
        return 0;
    if (!worker->Answered && !worker->SendAnswer())
        return 0;
    if (!worker->Shared->PushData(data, qsizetype(total)))
        return 0; // any other count than total makes libcurl end the transfer
    return total;
}

// libcurl has loaded the system's issuers into the context; this adds the
// request's own.
CURLcode AddIssuers(CURL*, void* context, void* caFile) {
    return SSL_CTX_load_verify_locations(static_cast<SSL_CTX*>(context),
                                         static_cast<const char*>(caFile), nullptr) == 1
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

struct TCurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct TMultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct TSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

CURLcode RunMulti(CURLM* multi, TShared& shared) {
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return CURLE_FAILED_INIT;
        int left = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE)
                return message->data.result;
        }
        {
            const std::lock_guard lock(shared.Lock);
            if (shared.Cancelled)
                return CURLE_ABORTED_BY_CALLBACK;
        }
        curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }
}

void RunTransfer(const TwuHttpRequest request, std::shared_ptr<TShared> shared) {
    TWorker worker{shared, {}, false};
    CURLcode code = CURLE_FAILED_INIT;
    const std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    const std::unique_ptr<CURLM, TMultiDeleter> multi(curl_multi_init());
    std::unique_ptr<curl_slist, TSlistDeleter> headers;
    const auto addHeader = [&headers](const QByteArray& header) {
        headers.reset(curl_slist_append(headers.release(), header.constData()));
    };
    const QByteArray url = request.Url.toUtf8();
    const QByteArray userName = request.UserName.toUtf8();
    const QByteArray password = request.Password.toUtf8();
    const QByteArray caFile = QFile::encodeName(request.CaFile);
    if (CURL* handle = curl.get(); handle && multi) {
        curl_easy_setopt(handle, CURLOPT_URL, url.constData());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        // An address reached over TLS never hands over to plain http.
        const bool tls = request.Url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, tls ? "https" : "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, request.FollowRedirects ? 1L : 0L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBuffer);
        // An abort must not wait for a name lookup that hangs.
        curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
        // A dead server must not hold the transfer for ever.
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 60L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 60L);
        if (request.Http10)
            curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        if (!request.UserAgent.isEmpty())
            curl_easy_setopt(handle, CURLOPT_USERAGENT, request.UserAgent.constData());
        if (!request.UseProxyEnvironment)
            curl_easy_setopt(handle, CURLOPT_PROXY, "");
        if (!request.UserName.isEmpty()) {
            curl_easy_setopt(handle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(handle, CURLOPT_USERNAME, userName.constData());
            curl_easy_setopt(handle, CURLOPT_PASSWORD, password.constData());
        }
        if (!caFile.isEmpty()) {
            curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &AddIssuers);
            curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, caFile.constData());
            // The issuers go into the loaded store: it must be this transfer's own.
            curl_easy_setopt(handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
        }
        if (request.FailOnHttpError)
            curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        if (request.IgnoreContentLength)
            curl_easy_setopt(handle, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        addHeader("Accept: " + request.Accept);
        if (request.NoCache) {
            addHeader("Pragma: no-cache");
            addHeader("Cache-Control: no-cache");
        }
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HeaderCallback);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &worker);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &worker);

        curl_multi_add_handle(multi.get(), handle);
        {
            const std::lock_guard lock(shared->Lock);
            shared->Multi = multi.get();
        }
        code = RunMulti(multi.get(), *shared);
        {
            const std::lock_guard lock(shared->Lock);
            shared->Multi = nullptr;
        }
        curl_multi_remove_handle(multi.get(), handle);
    }
    shared->Push({TEvent::Finished, worker.Answer, {}, code});
}

// The calling thread's side: hands the worker's events to the handlers and
// ends the local event loop when the transfer is over.
class TDriver : public QObject {
public:
    TDriver(const TwuHttpRequest& request, const TwuHttpHandlers& handlers,
            std::shared_ptr<TShared> shared)
        : FRequest(request), FHandlers(handlers), FShared(std::move(shared)) {}

    QEventLoop Loop;
    bool Done = false;
    bool Responded = false;
    bool Stopped = false;
    TwuHttpResponse FinalAnswer;
    CURLcode Code = CURLE_OK;
    std::exception_ptr Error;

    bool event(QEvent* event) override {
        { const std::lock_guard lock(FShared->Lock); }
        if (event->type() != kWakeEvent)
            return QObject::event(event);
        Drain();
        return true;
    }

    void Drain() {
        if (FDraining) {
            // A handler is processing pending events: the running drain goes on.
            const std::lock_guard lock(FShared->Lock);
            FShared->WakePosted = false;
            return;
        }
        FDraining = true;
        QElapsedTimer slice;
        slice.start();
        while (!Done) {
            TEvent event;
            {
                const std::lock_guard lock(FShared->Lock);
                if (FShared->Events.empty()) {
                    FShared->WakePosted = false;
                    break;
                }
                if (slice.elapsed() >= kDrainSliceMs) {
                    FShared->WakePosted = false;
                    FShared->PostWake();
                    break;
                }
                event = std::move(FShared->Events.front());
                FShared->Events.pop_front();
                FShared->Queued -= event.Bytes.size();
                FShared->SpaceFreed.notify_all();
            }
            Handle(event);
            if (event.Type == TEvent::Data) {
                event.Bytes.resize(0); // keeps its memory
                const std::lock_guard lock(FShared->Lock);
                if (FShared->Spare.size() < kSpareBuffers)
                    FShared->Spare.push_back(std::move(event.Bytes));
            }
        }
        FDraining = false;
    }

private:
    void Handle(const TEvent& event) {
        switch (event.Type) {
        case TEvent::Response:
            Responded = true;
            if (!Stopped)
                Call([&] { return !FHandlers.OnResponse || FHandlers.OnResponse(event.Answer); });
            break;
        case TEvent::Data: {
            const std::size_t size = static_cast<std::size_t>(event.Bytes.size());
            const std::size_t chunk = FRequest.MaxChunk ? FRequest.MaxChunk : size;
            for (std::size_t offset = 0; offset < size && !Stopped; offset += chunk) {
                Call([&] {
                    return !FHandlers.OnData || FHandlers.OnData(event.Bytes.constData() + offset,
                                                                 std::min(chunk, size - offset));
                });
            }
            break;
        }
        case TEvent::Finished:
            Done = true;
            FinalAnswer = event.Answer;
            Code = event.Code;
            Loop.quit();
            break;
        }
    }

    template <typename F> void Call(F handler) {
        try {
            if (handler())
                return;
        } catch (...) {
            Error = std::current_exception();
        }
        Stopped = true;
        FShared->Cancel();
    }

    const TwuHttpRequest& FRequest;
    const TwuHttpHandlers& FHandlers;
    std::shared_ptr<TShared> FShared;
    bool FDraining = false;
};

} // namespace

TwuHttpResult wuHttpGet(const TwuHttpRequest& request, const TwuHttpHandlers& handlers) {
    InitCurlOnce();
    auto shared = std::make_shared<TShared>();
    TDriver driver(request, handlers, shared);
    shared->Receiver = &driver;
    if (request.Abort)
        request.Abort->Attach([shared] { shared->Cancel(); });
    if (request.Abort && request.Abort->Requested())
        shared->Cancel();

    std::thread worker(RunTransfer, request, shared);
    // Ends when the worker has finished, or early when the application is
    // asked to end: that ends every event loop of this thread.
    while (!driver.Done) {
        driver.Loop.exec();
        if (!driver.Done) {
            shared->Cancel();
            break;
        }
    }
    worker.join();
    if (request.Abort)
        request.Abort->Detach();
    {
        const std::lock_guard lock(shared->Lock);
        shared->Receiver = nullptr;
    }
    // Events the loop had no time for: only the outcome counts now.
    if (!driver.Done) {
        for (const TEvent& event : shared->Events) {
            if (event.Type == TEvent::Finished) {
                driver.FinalAnswer = event.Answer;
                driver.Code = event.Code;
            }
        }
    }
    if (driver.Error)
        std::rethrow_exception(driver.Error);

    TwuHttpResult result;
    result.Stopped = driver.Stopped;
    result.Aborted =
        !driver.Stopped && (!driver.Done || (request.Abort && request.Abort->Requested()));
    result.Completed = driver.Code == CURLE_OK && !result.Stopped && !result.Aborted;
    if (!result.Completed)
        result.Error = result.Aborted ? QStringLiteral("přenos byl přerušen")
                                      : QString::fromUtf8(curl_easy_strerror(driver.Code));
    if (!driver.Responded && !result.Stopped && !result.Aborted && handlers.OnResponse)
        handlers.OnResponse(driver.FinalAnswer);
    return result;
}
