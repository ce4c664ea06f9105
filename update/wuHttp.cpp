#include "wuHttp.h"

#include <QList>
#include <algorithm>
#include <curl/curl.h>
#include <exception>
#include <memory>

namespace {

void InitCurlOnce() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
}

struct TTransfer {
    const TwuHttpRequest& Request;
    const TwuHttpHandlers& Handlers;
    TwuHttpResponse Response;
    bool Responded = false;
    bool Stopped = false;
    std::exception_ptr Error;

    bool Respond() {
        Responded = true;
        return !Handlers.OnResponse || Handlers.OnResponse(Response);
    }

    bool Deliver(const char* data, std::size_t size) {
        if (!Responded && !Respond())
            return false;
        const std::size_t chunk = Request.MaxChunk ? Request.MaxChunk : size;
        for (std::size_t offset = 0; offset < size; offset += chunk) {
            if (Handlers.OnData && !Handlers.OnData(data + offset, std::min(chunk, size - offset)))
                return false;
        }
        return true;
    }
};

std::size_t HeaderCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<TTransfer*>(user);
    const QByteArray line(data, static_cast<qsizetype>(size * count));
    // Every response (an interim one, or one that is followed elsewhere) starts
    // afresh; only the last one's headers describe the body we get.
    if (line.startsWith("HTTP/")) {
        transfer->Response.Received = true;
        transfer->Response.ContentLength.reset();
        const QList<QByteArray> parts = line.simplified().split(' ');
        transfer->Response.Status = parts.size() > 1 ? parts[1].toLong() : 0;
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        if (line.left(colon).trimmed().compare("Content-Length", Qt::CaseInsensitive) == 0)
            transfer->Response.ContentLength = line.mid(colon + 1).trimmed();
    }
    return size * count;
}

std::size_t WriteCallback(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<TTransfer*>(user);
    const std::size_t total = size * count;
    if (total == 0)
        return 0;
    // Nothing may be thrown through libcurl's C frames: keep it for later.
    try {
        if (transfer->Deliver(data, total))
            return total;
        transfer->Stopped = true;
    } catch (...) {
        transfer->Error = std::current_exception();
    }
    return 0; // any other count than total makes libcurl end the transfer
}

struct TCurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct TSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

TwuHttpResult wuHttpGet(const TwuHttpRequest& request, const TwuHttpHandlers& handlers) {
    InitCurlOnce();
    TTransfer transfer{request, handlers, {}, false, false, nullptr};
    TwuHttpResult result;

    const std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    std::unique_ptr<curl_slist, TSlistDeleter> headers;
    const auto addHeader = [&headers](const QByteArray& header) {
        headers.reset(curl_slist_append(headers.release(), header.constData()));
    };
    CURL* handle = curl.get();
    if (!handle) {
        result.Error = QStringLiteral("libcurl could not be started");
    } else {
        const QByteArray url = request.Url.toUtf8();
        const QByteArray userName = request.UserName.toUtf8();
        const QByteArray password = request.Password.toUtf8();
        curl_easy_setopt(handle, CURLOPT_URL, url.constData());
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, request.FollowRedirects ? 1L : 0L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        // A dead server must not hold the caller for ever.
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
        if (request.FailOnHttpError)
            curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        if (request.IgnoreContentLength)
            curl_easy_setopt(handle, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        if (request.MaxChunk)
            curl_easy_setopt(handle, CURLOPT_BUFFERSIZE,
                             static_cast<long>(std::clamp<std::size_t>(request.MaxChunk, 1024,
                                                                       CURL_MAX_READ_SIZE)));
        addHeader("Accept: " + request.Accept);
        if (request.NoCache) {
            addHeader("Pragma: no-cache");
            addHeader("Cache-Control: no-cache");
        }
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &HeaderCallback);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);

        const CURLcode code = curl_easy_perform(handle);
        result.Completed = code == CURLE_OK;
        if (!result.Completed)
            result.Error = QString::fromUtf8(curl_easy_strerror(code));
    }
    if (transfer.Error)
        std::rethrow_exception(transfer.Error);
    result.Stopped = transfer.Stopped;
    if (!transfer.Responded && !transfer.Stopped)
        transfer.Respond();
    return result;
}
