#include "IdHTTP.h"

#include "wuHttp.h"

#include <cstdint>
#include <stdexcept>
#include <sys/mman.h>

namespace {

// No update is larger; a longer announced length is not reserved up front.
constexpr std::int64_t kMaxReserve = std::int64_t(512) * 1024 * 1024;

// Raises OnWorkEnd when the transfer leaves, also by an exception.
class TWorkScope {
public:
    TWorkScope(TIdHTTP* sender, const TWorkEndEvent& end) : FSender(sender), FEnd(end) {}
    ~TWorkScope() {
        if (FBegun && FEnd)
            FEnd(FSender, wmRead);
    }
    TWorkScope(const TWorkScope&) = delete;
    TWorkScope& operator=(const TWorkScope&) = delete;
    void Begun() { FBegun = true; }

private:
    TIdHTTP* FSender;
    const TWorkEndEvent& FEnd;
    bool FBegun = false;
};

// Lets the kernel back a large body with huge pages: filling it then takes
// a few hundred page faults instead of tens of thousands. Only a hint.
void PreferLargePages(char* data, qsizetype size) {
    constexpr std::uintptr_t huge = 2 * 1024 * 1024;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + static_cast<std::uintptr_t>(size)) & ~(huge - 1);
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

} // namespace

QByteArray TIdHTTP::Get(const QString& URL) {
    TwuHttpRequest request;
    request.Url = URL;
    request.UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
    request.Accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
    request.UseProxyEnvironment = false;
    request.FollowRedirects = false;
    request.CaFile = FCaFile;

    QByteArray body;
    long status = 0;
    TWorkScope work(this, OnWorkEnd);
    TwuHttpHandlers handlers;
    handlers.OnResponse = [&](const TwuHttpResponse& response) {
        status = response.Status;
        // Only a 2xx answer carries the program; anything else ends the transfer.
        if (!response.Received || status < 200 || status > 299)
            return false;
        bool known = false;
        const std::int64_t length =
            response.ContentLength ? response.ContentLength->toLongLong(&known) : 0;
        // One allocation for the whole body, when its length is believable.
        if (known && length > 0 && length <= kMaxReserve) {
            body.reserve(static_cast<qsizetype>(length));
            PreferLargePages(body.data(), body.capacity());
        }
        work.Begun();
        if (OnWorkBegin)
            OnWorkBegin(this, wmRead, known ? length : 0);
        return true;
    };
    handlers.OnData = [&](const char* data, std::size_t size) {
        body.append(data, static_cast<qsizetype>(size));
        if (OnWork)
            OnWork(this, wmRead, body.size());
        return true;
    };
    const TwuHttpResult result = wuHttpGet(request, handlers);
    if (status != 0 && (status < 200 || status > 299))
        throw std::runtime_error(
            QStringLiteral("Stahování %2 selhalo: HTTP %1").arg(status).arg(URL).toStdString());
    if (!result.Completed)
        throw std::runtime_error(
            QStringLiteral("Stahování %1 selhalo: %2").arg(URL, result.Error).toStdString());
    return body;
}
