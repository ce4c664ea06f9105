#pragma once

#include "wuMinisign.h"

#include <QFlags>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class TwuDesktop;
class TwuHttpAbort;
class TwuInfoDialog;
class TwuWebUpdate;

enum TwuVersionFormat { vfStandard = 0, vfString = 1, vfNumber = 2 };

enum TwuUpdateOption {
    uoRunUpdate = 0x1, // run the downloaded file with the page's run parameters
    uoTerminate = 0x2, // after running it, ask the application to end (only with uoRunUpdate)
    uoOverwrite = 0x4, // initial answer to whether an existing file of that name is replaced
};
Q_DECLARE_FLAGS(TwuUpdateOptions, TwuUpdateOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TwuUpdateOptions)

// Where the information page is and how its version is compared.
class TwuProductInfo {
public:
    TwuProductInfo() = default;

    QString URL() const { return FURL; }
    // An address that begins neither with "http://" nor with "https://" (in
    // any letter case) gets "http://" in front; "" becomes "http://".
    void SetURL(const QString& value);
    QString Version() const { return FVersion; }
    void SetVersion(const QString& value) { FVersion = value; }
    TwuVersionFormat VersionFormat() const { return FVersionFormat; }
    void SetVersionFormat(TwuVersionFormat value) { FVersionFormat = value; }

private:
    QString FURL = QStringLiteral("http://");
    QString FVersion = QStringLiteral("1.0");
    TwuVersionFormat FVersionFormat = vfStandard;
};

// The META names the page reader looks for.
class TwuTagInfo {
public:
    TwuTagInfo() = default;

    QString Author() const { return FAuthor; }
    void SetAuthor(const QString& value) { FAuthor = value; }
    QString Email() const { return FEmail; }
    void SetEmail(const QString& value) { FEmail = value; }
    QString ClientFileName() const { return FClientFileName; }
    void SetClientFileName(const QString& value) { FClientFileName = value; }
    QString Download() const { return FDownload; }
    void SetDownload(const QString& value) { FDownload = value; }
    QString ProductName() const { return FProductName; }
    void SetProductName(const QString& value) { FProductName = value; }
    QString Redirection() const { return FRedirection; }
    void SetRedirection(const QString& value) { FRedirection = value; }
    QString RunParameters() const { return FRunParameters; }
    void SetRunParameters(const QString& value) { FRunParameters = value; }
    QString Version() const { return FVersion; }
    void SetVersion(const QString& value) { FVersion = value; }
    QString Signature() const { return FSignature; }
    void SetSignature(const QString& value) { FSignature = value; }

private:
    QString FAuthor = QStringLiteral("wuAuthor");
    QString FEmail = QStringLiteral("wuEmail");
    QString FClientFileName = QStringLiteral("wuClientSideName");
    QString FDownload = QStringLiteral("wuDownload");
    QString FProductName = QStringLiteral("wuProduct");
    QString FRedirection = QStringLiteral("wuRedirection");
    QString FRunParameters = QStringLiteral("wuRunParameters");
    QString FVersion = QStringLiteral("wuVersion");
    QString FSignature = QStringLiteral("wuSignature");
};

// Captions of the information dialog; "&" marks the accelerator letter.
class TwuInfoCaption {
public:
    TwuInfoCaption() = default;

    QString OkButton() const { return FOk; }
    void SetOkButton(const QString& value) { FOk = value; }
    QString CancelButton() const { return FCancel; }
    void SetCancelButton(const QString& value) { FCancel = value; }
    QString CheckForUpdate() const { return FCheckforUpdate; }
    void SetCheckForUpdate(const QString& value) { FCheckforUpdate = value; }

private:
    QString FOk = QStringLiteral("&OK");
    QString FCancel = QStringLiteral("&Cancel");
    QString FCheckforUpdate = QStringLiteral("C&heck for updates in the future");
};

using TwuNotifyEvent = std::function<void(TwuWebUpdate* Sender)>;
using TDownloadEvent =
    std::function<void(TwuWebUpdate* Sender, std::int32_t Total, std::int32_t Downloaded)>;
using TDownloadFileEvent = std::function<void(TwuWebUpdate* Sender, const QString& FileName)>;
using TUpdateAvailableEvent = std::function<void(TwuWebUpdate* Sender, const QString& ActualVersion,
                                                 const QString& NewVersion, bool& CanUpdate)>;
using TGetClientFileNameEvent = std::function<void(TwuWebUpdate* Sender, QString& FileName)>;
using TClientFileExistsEvent =
    std::function<void(TwuWebUpdate* Sender, QString& FileName, bool& Overwrite)>;
using TShowInfoEvent =
    std::function<void(TwuWebUpdate* Sender, bool& ShowInfo, bool& CheckForUpdate)>;
using TAfterShowInfoEvent = std::function<void(TwuWebUpdate* Sender, bool CheckForUpdate)>;

// Finds out from the product's information page whether a newer release
// exists and, when the owner and the user agree, downloads and runs it.
//
// The page is fetched over HTTP and read line by line for META tags of the
// form <META NAME="wuVersion" CONTENT="1.2">: "META NAME" in capitals,
// "CONTENT=" in any letter case, before or after the name, one tag per line,
// values of at most 254 characters; a later line with the same name wins.
//
// Everything but the transfers runs on the GUI thread. A transfer runs on a
// worker thread while the GUI thread waits in a local event loop, so the
// window stays alive; the events come in order on the GUI thread, after
// every chunk of at most 1025 bytes. Owner code may run in the middle of a
// check: Abort stops the transfer, and a nested CheckForAnUpdate is turned away.
//
// Only a 2xx answer counts; a body longer than its Content-Length is an
// error and is never written beyond that length; an update file needs a
// Content-Length of 1 byte to 512 MiB. The file is written in a private
// folder beside its target and put in place only once complete. A page read
// over https hands over to https only.
class TwuWebUpdate {
public:
    // The desktop (not owned) must outlive the component; without one the
    // component uses the Qt desktop.
    explicit TwuWebUpdate(TwuDesktop* desktop = nullptr);
    virtual ~TwuWebUpdate();
    TwuWebUpdate(const TwuWebUpdate&) = delete;
    TwuWebUpdate& operator=(const TwuWebUpdate&) = delete;

    TwuTagInfo& TagInfo() { return FTagInfo; }
    TwuProductInfo& ProductInfo() { return FProductInfo; }
    TwuInfoCaption& InfoCaption() { return FInfoCaption; }
    QString UserName() const { return FUserName; }
    void SetUserName(const QString& value) { FUserName = value; }
    QString Password() const { return FPassword; }
    void SetPassword(const QString& value) { FPassword = value; }
    // A PEM file of issuers trusted for https besides the system's; empty:
    // the system's alone.
    QString CaFile() const { return FCaFile; }
    void SetCaFile(const QString& value) { FCaFile = value; }
    TwuUpdateOptions Options() const { return FOptions; }
    void SetOptions(TwuUpdateOptions value) { FOptions = value; }
    // The component's own version, "1.21"; writing it changes nothing.
    QString Version() const;
    void SetVersion(const QString& value);
    QString TargetFolder() const { return FTargetFolder; }
    void SetTargetFolder(const QString& value) { FTargetFolder = value; }
    // Only the low 16 bits are used. A port named in the address itself
    // ("host:8080/…") wins; with an "https://" address the default 80 stands
    // for the TLS port 443.
    std::uint32_t HTTPPort() const { return FHTTPPort; }
    void SetHTTPPort(std::uint32_t value) { FHTTPPort = value; }

    // Results of the last page read; they keep their values until the next check.
    QString ProductVersion() const { return FProductVersion; }
    QString UpdateURL() const { return FUpdateURL; }
    QString ClientFileName() const { return FClientFileName; }
    QString RedirectionURL() const { return FRedirectionURL; }
    QString Author() const { return FAuthor; }
    QString EMail() const { return FEMail; }
    QString ProductName() const { return FProductName; }
    QString RunParameters() const { return FRunParameters; }
    // The address of the update file's minisign signature named on the page;
    // empty when the page names none.
    QString SignatureURL() const { return FSignatureURL; }
    bool Active() const { return FActive; }
    // The last information page read, one entry per line.
    const QStringList& Info() const { return FInfo; }

    // The publisher's minisign public key: the key compiled into the program,
    // or one set here. Without a valid key no update file is accepted.
    QByteArray PublicKey() const { return FPublicKey; }
    void SetPublicKey(const QByteArray& value) { FPublicKey = value; }
    bool HasPublicKey() const;
    // Where the signature of the update file is: SignatureURL, or the update
    // file's address followed by ".minisig".
    QString SignatureAddress() const;
    // Fetches the signature from SignatureAddress, at most 64 KiB with a 2xx
    // answer; true when a well-formed signature arrived. Raises no event.
    bool FetchSignature();
    // The trusted comment of the fetched signature, when there is one.
    QString TrustedComment() const;
    // Whether the file is signed by the publisher's key with the fetched
    // signature. The file is read on a worker thread while this thread runs a
    // local event loop.
    bool IsSigned(const QString& path) const;

    // Runs one whole check. True exactly when the update file was downloaded
    // completely, whether or not it was then run. False at once, with no
    // event, while another check runs. An exception thrown by a handler, the
    // dialog or the desktop ends the check and passes on to the caller.
    bool CheckForAnUpdate();
    // Stops the transfer in progress at once, at whatever stage; no OnDownloadError.
    void Abort();

    // Whether the update file is to be downloaded: false skips the dialog and
    // counts as consent when OnBeforeShowInfo says so; otherwise the user's answer.
    virtual bool ShowUpdateInfo();
    // TargetFolder when it is an existing folder, else the temporary folder,
    // followed by the file-name part of ClientFileName.
    virtual QString GetTargetFileName();
    // "http://host/path?query" gives "host" and "/path?query"; a value
    // without a host (a leading "/", or no "/" at all) gives an empty host
    // and the whole value as path.
    virtual void SplitURL(const QString& URL, QString& Host, QString& Path);

    // Raised in this order by a full check; Sender is always the component.
    TwuNotifyEvent OnBeforeGetInfo;
    // After every chunk of a transfer, of the page as of the update file:
    // Total is the last announced Content-Length (it keeps its value when a
    // response has none), Downloaded the bytes received so far.
    TDownloadEvent OnDownload;
    // A transfer delivered no usable data, the page lacks the product name or
    // the version, the redirections went on too long, or an existing update
    // file may not be replaced.
    TwuNotifyEvent OnDownloadError;
    // After the page and its redirection targets have been read, also after a failed fetch.
    TwuNotifyEvent OnAfterGetInfo;
    // The page's version is not newer; raised once by the comparison.
    TwuNotifyEvent OnNoUpdateFound;
    // The page's version is newer; CanUpdate comes in true, false ends the check.
    TUpdateAvailableEvent OnUpdateAvailable;
    // Before the dialog: ShowInfo false skips it (and counts as consent);
    // CheckForUpdate is the check box's initial state.
    TShowInfoEvent OnBeforeShowInfo;
    // After the dialog has closed, with the check box's final state.
    TAfterShowInfoEvent OnAfterShowInfo;
    // Before the download; FileName is the target path and may be replaced.
    TGetClientFileNameEvent OnGetClientFileName;
    // The target file exists; Overwrite comes in as uoOverwrite, false ends the check.
    TClientFileExistsEvent OnClientFileExists;
    TDownloadFileEvent OnBeforeDownload;
    // After the file transfer, whatever its outcome.
    TDownloadFileEvent OnAfterDownload;
    // Starting the downloaded file failed.
    TwuNotifyEvent OnCannotExecute;

protected:
    virtual void DoDownload();
    virtual void DoDownloadError();
    virtual void DoBeforeDownload(const QString& FileName);
    virtual void DoAfterDownload(const QString& FileName);
    virtual void DoNoUpdateFound();
    virtual void DoAfterGetInfo();
    virtual void DoBeforeGetInfo();
    virtual void DoCannotExecute();

    // Reads the information page, following its redirection tags (at most 10).
    void GetInfo();
    // Reads the META tags of Info() into the result properties.
    void ParseInfo();
    // The value of the line's CONTENT attribute; nullopt when the line has none.
    static std::optional<QString> GetTagContent(const QString& Line);
    // Whether ProductVersion is newer than ProductInfo.Version; a false
    // result raises OnNoUpdateFound once.
    bool IsNewerVersion();
    // One transfer into Info() or, with ToFile, into the file FileName.
    void FetchURL(const QString& URL, const QString& UserName, const QString& Password,
                  bool RequireLength, bool ToFile, const QString& FileName);
    void DownloadUpdate();
    // Whether the complete update file, not yet in place, may be put there:
    // it must carry the publisher's signature. A refusal raises OnDownloadError.
    virtual bool VerifyDownload(const QString& PartPath);

    QStringList& InfoLines() { return FInfo; }
    bool DownloadResult() const { return FDownloadResult; }

private:
    TwuDesktop& Desktop();
    QString PortSuffix(const QString& host, bool tls) const;
    // The full address a transfer of URL goes to.
    QString RequestAddress(const QString& URL);

    std::int32_t FVersion = 0x0115;
    TwuProductInfo FProductInfo;
    TwuTagInfo FTagInfo;
    TwuUpdateOptions FOptions = TwuUpdateOptions(uoRunUpdate) | uoTerminate;
    TwuInfoCaption FInfoCaption;
    bool FActive = false;
    QString FFileName;
    QString FUserName;
    QString FPassword;
    QString FCaFile;
    QStringList FInfo;
    bool FAborting = false;
    std::shared_ptr<TwuHttpAbort> FAbortToken;
    QString FSignatureURL;
    QByteArray FPublicKey;
    std::optional<TwuMinisignSignature> FSignatureFile;
    std::unique_ptr<TwuInfoDialog> frm_ShowInfoUpdate;
    QString FProductVersion;
    QString FUpdateURL;
    QString FClientFileName;
    QString FRedirectionURL;
    QString FAuthor;
    QString FEMail;
    QString FProductName;
    QString FRunParameters;
    bool FDownloadResult = false;
    std::int32_t FFileSize = 0;
    std::uint32_t FDownloadSize = 0;
    std::uint32_t FDownloadedSize = 0;
    QString FTargetFolder;
    std::uint32_t FHTTPPort = 80;

    TwuDesktop* FDesktop;
    std::unique_ptr<TwuDesktop> FOwnDesktop;
};
