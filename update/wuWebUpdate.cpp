#include "wuWebUpdate.h"

#include "wuBesideEvents.h"
#include "wuDesktop.h"
#include "wuDownloadFile.h"
#include "wuHttp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <stdexcept>

namespace {

const QString kHttp = QStringLiteral("http://");
const QString kHttps = QStringLiteral("https://");
// The platform's read size; every chunk is reported and followed by the GUI's events.
constexpr std::size_t kReadSize = 1025;
// Longer chains are taken for a loop.
constexpr int kMaxRedirections = 10;
// A real information page is a few kilobytes; more is not a page.
constexpr std::uint32_t kMaxPageSize = 4 * 1024 * 1024;
// A signature file is a few hundred bytes.
constexpr qsizetype kMaxSignatureSize = 64 * 1024;
// No update file is larger; a bigger one is refused before it is written.
constexpr qint64 kMaxFileSize = qint64(512) * 1024 * 1024;
// Names and values are looked for within this many characters.
constexpr qsizetype kTagWindow = 255;

bool StartsWithHttps(const QString& url) {
    return url.startsWith(kHttps, Qt::CaseInsensitive);
}

// The text from start up to the first double quote within the window; empty
// when the window holds none.
QString QuotedValue(const QString& line, qsizetype start) {
    const QString window = line.mid(start, kTagWindow);
    const qsizetype quote = window.indexOf(QLatin1Char('"'));
    return quote < 0 ? QString() : window.left(quote);
}

// Upper-cases ASCII letters only, so that positions stay those of the line.
QString AsciiUpper(QString text) {
    for (QChar& c : text) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    }
    return text;
}

int ComponentValue(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

// Missing components count as 0 on either side.
bool IsNewerStandard(const QString& installed, const QString& offered) {
    const QStringList a = installed.split(QLatin1Char('.'));
    const QStringList n = offered.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(a.size(), n.size()); ++i) {
        const int ai = i < a.size() ? ComponentValue(a[i]) : 0;
        const int ni = i < n.size() ? ComponentValue(n[i]) : 0;
        if (ni != ai)
            return ni > ai;
    }
    return false;
}

bool IsNewerNumber(const QString& installed, const QString& offered) {
    bool ok = false;
    const double a = installed.toDouble(&ok);
    if (!ok)
        return false;
    const double n = offered.toDouble(&ok);
    return ok && n > a;
}

qint64 ContentLengthValue(const QByteArray& text) {
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, 10);
    if (!ok)
        throw std::runtime_error("Content-Length is not a number: " + text.toStdString());
    return value;
}

QStringList SplitLines(const QString& text) {
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineBreak);
    // A final line break ends the last line; it does not start another one.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

// ":{HTTPPort}" unless the host names its own port. The port goes into the
// address itself, so that a server's HTTP redirection is followed to wherever it points.
QString TwuWebUpdate::PortSuffix(const QString& host, bool tls) const {
    static const QRegularExpression ownPort(QStringLiteral(":\\d+$"));
    const auto port = static_cast<quint16>(FHTTPPort & 0xFFFF);
    if (host.contains(ownPort) || (tls && port == 80))
        return QString();
    return QStringLiteral(":%1").arg(port);
}

QString TwuWebUpdate::RequestAddress(const QString& URL) {
    QString host;
    QString path;
    SplitURL(URL, host, path);
    bool tls = StartsWithHttps(URL);
    if (host.isEmpty()) {
        // A path alone is fetched from the information page's server.
        QString unusedPath;
        SplitURL(FProductInfo.URL(), host, unusedPath);
        tls = StartsWithHttps(FProductInfo.URL());
    }
    // A page read over TLS hands over to TLS addresses only.
    tls = tls || StartsWithHttps(FProductInfo.URL());
    return (tls ? kHttps : kHttp) + host + PortSuffix(host, tls) + path;
}

void TwuProductInfo::SetURL(const QString& value) {
    const bool hasScheme = value.startsWith(kHttp, Qt::CaseInsensitive) || StartsWithHttps(value);
    FURL = hasScheme ? value : kHttp + value;
}

TwuWebUpdate::TwuWebUpdate(TwuDesktop* desktop)
    : FAbortToken(std::make_shared<TwuHttpAbort>()), FPublicKey(VELORA_UPDATE_PUBLIC_KEY),
      FDesktop(desktop) {}

void TwuWebUpdate::Abort() {
    FAborting = true;
    FAbortToken->Request();
}

bool TwuWebUpdate::HasPublicKey() const {
    return TwuMinisignPublicKey::Parse(FPublicKey).has_value();
}

QString TwuWebUpdate::SignatureAddress() const {
    if (!FSignatureURL.isEmpty())
        return FSignatureURL;
    // Beside the file: the query, if any, stays at the end.
    const qsizetype query = FUpdateURL.indexOf(QLatin1Char('?'));
    QString address = FUpdateURL;
    return address.insert(query < 0 ? address.size() : query, QStringLiteral(".minisig"));
}

bool TwuWebUpdate::FetchSignature() {
    FSignatureFile.reset();
    FAbortToken->Reset();
    TwuHttpRequest request;
    request.Url = RequestAddress(SignatureAddress());
    request.UserAgent = "TwuWebUpdate";
    request.Http10 = true;
    request.NoCache = true;
    request.IgnoreContentLength = true;
    request.CaFile = FCaFile;
    request.Abort = FAbortToken;
    QByteArray text;
    std::optional<qint64> announced;
    TwuHttpHandlers handlers;
    handlers.OnResponse = [&](const TwuHttpResponse& response) {
        if (response.ContentLength)
            announced = ContentLengthValue(*response.ContentLength);
        return response.Status >= 200 && response.Status <= 299;
    };
    handlers.OnData = [&](const char* data, std::size_t size) {
        text.append(data, static_cast<qsizetype>(size));
        return text.size() <= kMaxSignatureSize && (!announced || text.size() <= *announced);
    };
    try {
        const TwuHttpResult result = wuHttpGet(request, handlers);
        if (!result.Completed || (announced && *announced != text.size()))
            return false;
    } catch (...) {
        return false;
    }
    FSignatureFile = TwuMinisignSignature::Parse(text);
    return FSignatureFile.has_value();
}

QString TwuWebUpdate::TrustedComment() const {
    return FSignatureFile ? QString::fromUtf8(FSignatureFile->TrustedComment) : QString();
}

bool TwuWebUpdate::IsSigned(const QString& path) const {
    const std::optional<TwuMinisignPublicKey> key = TwuMinisignPublicKey::Parse(FPublicKey);
    if (!key || !FSignatureFile)
        return false;
    // Copies: owner code that runs meanwhile may fetch another signature.
    return wuRunBesideEvents([key = *key, signature = *FSignatureFile, path] {
        return wuMinisignVerifyFile(key, signature, path);
    });
}

bool TwuWebUpdate::VerifyDownload(const QString& PartPath) {
    if (FetchSignature() && IsSigned(PartPath))
        return true;
    DoDownloadError();
    return false;
}

TwuWebUpdate::~TwuWebUpdate() {
    Abort();
}

TwuDesktop& TwuWebUpdate::Desktop() {
    if (!FDesktop) {
        FOwnDesktop = std::make_unique<TwuQtDesktop>();
        FDesktop = FOwnDesktop.get();
    }
    return *FDesktop;
}

QString TwuWebUpdate::Version() const {
    return QStringLiteral("%1.%2").arg((FVersion >> 8) & 0xFF).arg(FVersion & 0xFF);
}

void TwuWebUpdate::SetVersion(const QString&) {}

void TwuWebUpdate::DoDownload() {
    if (OnDownload)
        OnDownload(this, FFileSize, static_cast<std::int32_t>(FDownloadedSize));
}

void TwuWebUpdate::DoDownloadError() {
    if (OnDownloadError)
        OnDownloadError(this);
}

void TwuWebUpdate::DoBeforeDownload(const QString& FileName) {
    if (OnBeforeDownload)
        OnBeforeDownload(this, FileName);
}

void TwuWebUpdate::DoAfterDownload(const QString& FileName) {
    if (OnAfterDownload)
        OnAfterDownload(this, FileName);
}

void TwuWebUpdate::DoNoUpdateFound() {
    if (OnNoUpdateFound)
        OnNoUpdateFound(this);
}

void TwuWebUpdate::DoAfterGetInfo() {
    if (OnAfterGetInfo)
        OnAfterGetInfo(this);
}

void TwuWebUpdate::DoBeforeGetInfo() {
    if (OnBeforeGetInfo)
        OnBeforeGetInfo(this);
}

void TwuWebUpdate::DoCannotExecute() {
    if (OnCannotExecute)
        OnCannotExecute(this);
}

void TwuWebUpdate::SplitURL(const QString& URL, QString& Host, QString& Path) {
    QString rest = URL;
    if (rest.startsWith(kHttp, Qt::CaseInsensitive))
        rest.remove(0, kHttp.size());
    else if (StartsWithHttps(rest))
        rest.remove(0, kHttps.size());
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    Host = rest.left(slash + 1);
    Path = rest.mid(std::max<qsizetype>(slash, 0));
    if (Host.endsWith(QLatin1Char('/')))
        Host.chop(1);
}

void TwuWebUpdate::FetchURL(const QString& URL, const QString& UserName, const QString& Password,
                            bool RequireLength, bool ToFile, const QString& FileName) {
    FAborting = false;
    FAbortToken->Reset();
    TwuDownloadFile file(FileName);
    QByteArray text;
    bool stopped = false; // aborted, or a file that needs a length got none: no event
    bool refused = false; // an answer that is not the one asked for: a download error
    bool cannotWrite = false;
    bool lengthMissing = false;
    std::optional<qint64> announced;
    try {
        TwuHttpRequest request;
        request.Url = RequestAddress(URL);
        request.UserAgent = "TwuWebUpdate";
        request.Accept = "*/*";
        request.Http10 = true;
        request.NoCache = true;
        request.UserName = UserName;
        request.Password = Password;
        request.CaFile = FCaFile;
        request.IgnoreContentLength = true;
        request.MaxChunk = kReadSize;
        request.Abort = FAbortToken;

        TwuHttpHandlers handlers;
        handlers.OnResponse = [&](const TwuHttpResponse& response) {
            if (FAborting) {
                stopped = true;
                return false;
            }
            FDownloadResult = response.ContentLength.has_value();
            if (response.Status < 200 || response.Status > 299) {
                refused = true;
                return false;
            }
            if (RequireLength && !response.ContentLength) {
                lengthMissing = true;
                return false;
            }
            if (response.ContentLength) {
                announced = ContentLengthValue(*response.ContentLength);
                if (*announced < 0 || (ToFile && (*announced == 0 || *announced > kMaxFileSize))) {
                    refused = true;
                    return false;
                }
                FFileSize = static_cast<std::int32_t>(std::min<qint64>(*announced, INT32_MAX));
            }
            FDownloadedSize = 0;
            if (ToFile && !file.Open()) {
                cannotWrite = true;
                return false;
            }
            return true;
        };
        handlers.OnData = [&](const char* data, std::size_t size) {
            if (FAborting) {
                stopped = true;
                return false;
            }
            // Never more than announced: the rest is not what was offered.
            if (announced && qint64(FDownloadedSize) + qint64(size) > *announced) {
                refused = true;
                return false;
            }
            FDownloadSize = static_cast<std::uint32_t>(size);
            if (ToFile) {
                if (!file.Write(data, static_cast<qint64>(size))) {
                    cannotWrite = true;
                    return false;
                }
            } else if (FDownloadedSize + FDownloadSize > kMaxPageSize) {
                refused = true;
                return false;
            } else {
                text.append(data, static_cast<qsizetype>(size));
            }
            FDownloadedSize += FDownloadSize;
            DoDownload();
            Desktop().ProcessMessages();
            return true;
        };
        const TwuHttpResult result = wuHttpGet(request, handlers);
        // The check before the read that would have found the end of the data.
        if (result.Aborted || (!result.Stopped && FAborting))
            stopped = true;
        if (stopped || cannotWrite) {
            FDownloadResult = false;
            return;
        }
        if (lengthMissing || refused || !result.Completed)
            FDownloadResult = false;
        else if (ToFile)
            FDownloadResult = announced && *announced == qint64(FDownloadedSize);
        else
            FDownloadResult = FDownloadedSize > 0;
        if (!FDownloadResult) {
            DoDownloadError();
            return;
        }
        if (ToFile && !file.Flush()) {
            FDownloadResult = false;
            return;
        }
        if (ToFile) {
            if (!VerifyDownload(file.PartPath()) || !file.Commit()) {
                FDownloadResult = false;
                return;
            }
        } else {
            FInfo = SplitLines(QString::fromLocal8Bit(text));
        }
    } catch (...) {
        FDownloadResult = false;
    }
}

void TwuWebUpdate::GetInfo() {
    for (int followed = 0;; ++followed) {
        FProductVersion.clear();
        FUpdateURL.clear();
        FAuthor.clear();
        FEMail.clear();
        FProductName.clear();
        FRunParameters.clear();
        if (followed > kMaxRedirections) {
            FDownloadResult = false;
            DoDownloadError();
            return;
        }
        const QString address = FRedirectionURL.isEmpty() ? FProductInfo.URL() : FRedirectionURL;
        FetchURL(address, FUserName, FPassword, false, false, QString());
        if (!FDownloadResult)
            return;
        ParseInfo();
        if (FRedirectionURL.isEmpty())
            return;
    }
}

std::optional<QString> TwuWebUpdate::GetTagContent(const QString& Line) {
    const qsizetype at = AsciiUpper(Line).indexOf(QLatin1String("CONTENT="));
    if (at < 0)
        return std::nullopt;
    return QuotedValue(Line, at + 9);
}

void TwuWebUpdate::ParseInfo() {
    FRedirectionURL.clear();
    FProductVersion.clear();
    FUpdateURL.clear();
    FClientFileName.clear();
    FAuthor.clear();
    FEMail.clear();
    FProductName.clear();
    FRunParameters.clear();
    FSignatureURL.clear();
    const std::pair<QString, QString*> targets[] = {
        {FTagInfo.ProductName(), &FProductName},
        {FTagInfo.ClientFileName(), &FClientFileName},
        {FTagInfo.Version(), &FProductVersion},
        {FTagInfo.Author(), &FAuthor},
        {FTagInfo.Email(), &FEMail},
        {FTagInfo.Download(), &FUpdateURL},
        {FTagInfo.Redirection(), &FRedirectionURL},
        {FTagInfo.RunParameters(), &FRunParameters},
        {FTagInfo.Signature(), &FSignatureURL},
    };
    for (const QString& line : std::as_const(FInfo)) {
        const qsizetype at = line.indexOf(QLatin1String("META NAME"));
        if (at < 0)
            continue;
        // The two characters after "META NAME" (normally =") are not examined.
        const QString name = QuotedValue(line, at + 11);
        for (const auto& [tag, field] : targets) {
            if (name != tag)
                continue;
            // A line without CONTENT= leaves the value as it was.
            if (const std::optional<QString> content = GetTagContent(line))
                *field = *content;
        }
    }
}

bool TwuWebUpdate::IsNewerVersion() {
    const QString& installed = FProductInfo.Version();
    bool newer = false;
    switch (FProductInfo.VersionFormat()) {
    case vfStandard:
        newer = IsNewerStandard(installed, FProductVersion);
        break;
    case vfString:
        newer = QString::compare(FProductVersion, installed, Qt::CaseSensitive) > 0;
        break;
    case vfNumber:
        newer = IsNewerNumber(installed, FProductVersion);
        break;
    }
    if (!newer)
        DoNoUpdateFound();
    return newer;
}

QString TwuWebUpdate::GetTargetFileName() {
    // Only the file-name part: a page must not place the file elsewhere.
    const QString name = QFileInfo(FClientFileName).fileName();
    if (!FTargetFolder.isEmpty() && QFileInfo(FTargetFolder).isDir()) {
        QString folder = FTargetFolder;
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        return folder + name;
    }
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    return temp + (temp.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + name;
}

bool TwuWebUpdate::ShowUpdateInfo() {
    bool showInfo = true;
    bool checkForUpdate = true;
    if (OnBeforeShowInfo)
        OnBeforeShowInfo(this, showInfo, checkForUpdate);
    if (!showInfo)
        return true;
    if (!frm_ShowInfoUpdate)
        frm_ShowInfoUpdate = Desktop().CreateInfoDialog();
    TwuInfoDialog& dialog = *frm_ShowInfoUpdate;
    dialog.SetCheckForUpdate(checkForUpdate);
    dialog.SetCaptions(FInfoCaption.OkButton(), FInfoCaption.CancelButton(),
                       FInfoCaption.CheckForUpdate());
    dialog.Navigate(FRedirectionURL.isEmpty() ? FProductInfo.URL() : FRedirectionURL);
    const bool answer = dialog.ShowModal();
    if (OnAfterShowInfo)
        OnAfterShowInfo(this, dialog.CheckForUpdate());
    return answer;
}

void TwuWebUpdate::DownloadUpdate() {
    FFileName = GetTargetFileName();
    if (OnGetClientFileName)
        OnGetClientFileName(this, FFileName);
    FDownloadResult = false;
    if (QFileInfo(FFileName).isFile()) {
        bool overwrite = FOptions.testFlag(uoOverwrite);
        if (OnClientFileExists)
            OnClientFileExists(this, FFileName, overwrite);
        if (!overwrite) {
            DoDownloadError();
            return;
        }
    }
    // Without an address there is nothing to fetch; never the server's root.
    if (FUpdateURL.trimmed().isEmpty()) {
        DoDownloadError();
        return;
    }
    DoBeforeDownload(FFileName);
    FetchURL(FUpdateURL, FUserName, FPassword, true, true, FFileName);
    DoAfterDownload(FFileName);
}

bool TwuWebUpdate::CheckForAnUpdate() {
    if (FActive)
        return false;
    FActive = true;
    const auto endOfCheck = qScopeGuard([this] { FActive = false; });
    FRedirectionURL.clear();
    DoBeforeGetInfo();
    GetInfo();
    DoAfterGetInfo();
    if (FProductName.isEmpty() || FProductVersion.isEmpty()) {
        DoDownloadError();
        FDownloadResult = false;
    }
    if (!FDownloadResult || !IsNewerVersion())
        return false;
    bool canUpdate = true;
    if (OnUpdateAvailable)
        OnUpdateAvailable(this, FProductInfo.Version(), FProductVersion, canUpdate);
    if (!canUpdate || !ShowUpdateInfo())
        return false;
    DownloadUpdate();
    if (!FDownloadResult)
        return false;
    if (FOptions.testFlag(uoRunUpdate)) {
        if (!Desktop().StartFile(FFileName, FRunParameters))
            DoCannotExecute();
        // Also after a failed start: the owner asked for it.
        if (FOptions.testFlag(uoTerminate))
            Desktop().Terminate();
    }
    return true;
}
