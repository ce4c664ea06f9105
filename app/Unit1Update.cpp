// Self-update of the main window: the version prompt after the first tick's
// update check, the download with its progress and the update script.
#include "DesktopOperations.h"
#include "SelfUpdate.h"
#include "Unit1.h"
#include "wuBesideEvents.h"
#include "wuDownloadFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <stdexcept>

namespace {

// What the update component asks of the desktop: the window's own pending
// events, the rest as the Qt desktop does it.
class TWindowUpdateDesktop final : public TwuDesktop {
public:
    explicit TWindowUpdateDesktop(TDesktopOperations& desktop) : FDesktop(desktop) {}

    void ProcessMessages() override { FDesktop.ProcessMessages(); }
    std::unique_ptr<TwuInfoDialog> CreateInfoDialog() override { return FQt.CreateInfoDialog(); }
    bool StartFile(const QString& fileName, const QString& parameters) override {
        return FQt.StartFile(fileName, parameters);
    }
    void Terminate() override { FQt.Terminate(); }

private:
    TDesktopOperations& FDesktop;
    TwuQtDesktop FQt;
};

const QString kNoPublicKey = QStringLiteral(
    "Je dostupná nová verze, ale tato sestava programu nemá klíč k ověření podpisu aktualizací, "
    "proto ji nelze nainstalovat.");
const QString kBadSignature =
    QStringLiteral("Aktualizace nemá platný podpis, nebyla nainstalována.");
const QString kFolderNotWritable =
    QStringLiteral("Aktualizaci nelze nainstalovat: do složky programu nelze zapisovat.");

// Whether a new file can be made in the folder: tried, since permissions
// alone do not tell (read-only mounts, root).
bool CanWriteFolder(const QString& folder) {
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".velora-write-XXXXXX")));
    return probe.open();
}

// The progress bar holds the low 32 bits of a count.
int Low32(std::int64_t count) {
    return static_cast<int>(static_cast<std::uint32_t>(count));
}

// Writes the file whole or not at all, replacing any file of that name.
void WriteWholeFile(const QString& path, const QByteArray& content,
                    QFile::Permissions permissions = {}) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("Nelze zapsat soubor %1: %2")
                                     .arg(path, file.errorString())
                                     .toStdString());
    if (permissions && !QFile::setPermissions(path, permissions))
        throw std::runtime_error(
            QStringLiteral("Soubor %1 nelze učinit spustitelným").arg(path).toStdString());
}

} // namespace

void TForm1::SetUpUpdate() {
    FUpdateDesktop = std::make_unique<TWindowUpdateDesktop>(FDesktop);
    wuWebUpdate1 = std::make_unique<TwuWebUpdate>(FUpdateDesktop.get());
    TwuWebUpdate& update = *wuWebUpdate1;
    update.ProductInfo().SetURL(QStringLiteral("http://") + FDeployment.Web +
                                QStringLiteral("/ustredna/velora/index.php"));
    update.ProductInfo().SetVersion(QStringLiteral("1.0"));
    TwuTagInfo& tags = update.TagInfo();
    tags.SetAuthor(QStringLiteral("wuAuthor"));
    tags.SetEmail(QStringLiteral("wuEmail"));
    tags.SetClientFileName(QStringLiteral("wuClientSideName"));
    tags.SetDownload(QStringLiteral("wuDownload"));
    tags.SetProductName(QStringLiteral("wuProduct"));
    tags.SetRedirection(QStringLiteral("wuRedirection"));
    tags.SetRunParameters(QStringLiteral("wuRunParameters"));
    tags.SetVersion(QStringLiteral("wuVersion"));
    update.InfoCaption().SetOkButton(QStringLiteral("&OK"));
    update.InfoCaption().SetCancelButton(QStringLiteral("&Cancel"));
    update.InfoCaption().SetCheckForUpdate(QStringLiteral("Kontrolovat nadále aktualizace"));
    update.SetOptions({});
    update.SetHTTPPort(80);
    update.OnAfterGetInfo = [this](TwuWebUpdate* Sender) {
        wuWebUpdate1AfterGetInfo(Sender);
    };
    update.OnBeforeShowInfo = [this](TwuWebUpdate* Sender, bool& ShowInfo, bool& CheckForUpdate) {
        wuWebUpdate1BeforeShowInfo(Sender, ShowInfo, CheckForUpdate);
    };
    // The window installs an update itself, after asking; the component's
    // own download would only fill the temporary folder.
    update.OnUpdateAvailable = [](TwuWebUpdate*, const QString&, const QString&, bool& CanUpdate) {
        CanUpdate = false;
    };

    IdHTTP1 = std::make_unique<TIdHTTP>();
    IdHTTP1->OnWorkBegin = [this](TIdHTTP* ASender, TWorkMode AWorkMode,
                                  std::int64_t AWorkCountMax) {
        IdHTTP1WorkBegin(ASender, AWorkMode, AWorkCountMax);
    };
    IdHTTP1->OnWork = [this](TIdHTTP* ASender, TWorkMode AWorkMode, std::int64_t AWorkCount) {
        IdHTTP1Work(ASender, AWorkMode, AWorkCount);
    };
    IdHTTP1->OnWorkEnd = [this](TIdHTTP* ASender, TWorkMode AWorkMode) {
        IdHTTP1WorkEnd(ASender, AWorkMode);
    };
}

void TForm1::RunUpdateCheck() {
    // A packaged program is updated by the package manager.
    if (!VELORA_SELF_UPDATE)
        return;
    // The deployment is read at start-up, after the component was made.
    wuWebUpdate1->ProductInfo().SetURL(QStringLiteral("http://") + FDeployment.Web +
                                       QStringLiteral("/ustredna/velora/index.php"));
    // The same full version the prompt compares, so that the two never disagree.
    wuWebUpdate1->ProductInfo().SetVersion(running_version);
    wuWebUpdate1->SetCaFile(FDeployment.CaFile);
    if (IdHTTP1)
        IdHTTP1->SetCaFile(FDeployment.CaFile);
    wuWebUpdate1->CheckForAnUpdate();
}

void TForm1::wuWebUpdate1AfterGetInfo(TwuWebUpdate* Sender) {
    QString V = Sender->ProductVersion();
    if (V.isEmpty())
        V = running_version;
    if (update_refused || !IsOlderVersion(running_version, V))
        return;
    if (!Sender->HasPublicKey()) {
        update_refused = true;
        FDesktop.MessageBox(kNoPublicKey);
        return;
    }
    QString prompt = QStringLiteral("Mate nainstalovanou verzi ") + running_version +
                     QStringLiteral(", \r\nna webu je dostupna verze ") + Sender->ProductVersion() +
                     QStringLiteral(", \r\naktualizovat?");
    // What the publisher signed about this release, when the signature says it.
    if (Sender->FetchSignature() && !Sender->TrustedComment().isEmpty())
        prompt += QStringLiteral("\r\n\r\n") + Sender->TrustedComment();
    if (FDesktop.Confirm(prompt))
        aktualizace();
}

void TForm1::wuWebUpdate1BeforeShowInfo(TwuWebUpdate*, bool& ShowInfo, bool&) {
    ShowInfo = false;
}

void TForm1::aktualizace() {
    const QDir D(QDir::currentPath());
    // The script replaces and restarts the running executable itself, which
    // need not lie in the working directory.
    const QString exe = QCoreApplication::applicationFilePath();
    if (!CanWriteFolder(QFileInfo(exe).absolutePath())) {
        update_refused = true;
        FDesktop.MessageBox(kFolderNotWritable);
        return;
    }
    const QString script = D.filePath(QStringLiteral("update.sh"));
    const QString download = D.filePath(QStringLiteral("velora_new"));

    // Released when this leaves, whichever way; it is not used again.
    const std::unique_ptr<TIdHTTP> http = std::move(IdHTTP1);
    if (!http)
        throw std::runtime_error("Aktualizace už jednou proběhla, klient HTTP je použitý");
    const bool overTls = wuWebUpdate1->ProductInfo().URL().startsWith(QLatin1String("https://"),
                                                                      Qt::CaseInsensitive);
    const QByteArray body = http->Get(DownloadLocation(wuWebUpdate1->UpdateURL(), overTls));
    if (body.isEmpty())
        throw std::runtime_error("Soubor aktualizace je prázdný");

    // Written privately; only a file the publisher signed is put in place.
    bool signedByPublisher = false;
    {
        TwuDownloadFile file(download);
        // The whole program goes to the disk beside the window's events.
        if (!file.Open() || !wuRunBesideEvents([&file, &body] {
                return file.Write(body.constData(), body.size()) && file.Flush();
            }))
            throw std::runtime_error(QStringLiteral("Nelze zapsat soubor %1: %2")
                                         .arg(download, file.ErrorString())
                                         .toStdString());
        signedByPublisher = wuWebUpdate1->IsSigned(file.PartPath());
        if (signedByPublisher &&
            !file.Commit(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                         QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther))
            throw std::runtime_error(QStringLiteral("Nelze zapsat soubor %1: %2")
                                         .arg(download, file.ErrorString())
                                         .toStdString());
    }
    // The refused file is already gone while the user reads why.
    if (!signedByPublisher) {
        FDesktop.MessageBox(kBadSignature);
        return;
    }
    try {
        WriteWholeFile(
            script,
            LinuxUpdateScript(D.path(), exe, QCoreApplication::applicationPid()).toLocal8Bit());
    } catch (...) {
        QFile::remove(download);
        throw;
    }

    // The window closes first (settings and history saved): a window that
    // cannot close keeps the program, and nothing replaces it.
    try {
        FDesktop.CloseWindow();
    } catch (...) {
        QFile::remove(script);
        QFile::remove(download);
        FDesktop.MessageBox(QStringLiteral("Nepodarilo se spustit aktualizaci"));
        return;
    }
    try {
        FDesktop.ShellOpen(script);
    } catch (...) {
        FDesktop.MessageBox(QStringLiteral("Nepodarilo se spustit aktualizaci"));
        return;
    }
    FDesktop.EndProcess();
}

void TForm1::IdHTTP1WorkBegin(TIdHTTP*, TWorkMode, std::int64_t AWorkCountMax) {
    FDesktop.SetProgressVisible(true);
    FDesktop.SetProgressMax(Low32(AWorkCountMax));
}

void TForm1::IdHTTP1Work(TIdHTTP*, TWorkMode, std::int64_t AWorkCount) {
    FDesktop.SetProgressPosition(Low32(AWorkCount));
    // Ticks, tray clicks and call records are handled during the download.
    FDesktop.ProcessMessages();
}

void TForm1::IdHTTP1WorkEnd(TIdHTTP*, TWorkMode) {
    FDesktop.SetProgressVisible(false);
}
