#include "Unit1.h"

#include "Autostart.h"
#include "CallHistoryModel.h"
#include "CallRecord.h"
#include "DesktopOperations.h"
#include "IniFile.h"
#include "Jabber.h"
#include "VersionInfo.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QLocale>
#include <QUrl>
#include <exception>
#include <stdexcept>

namespace {

const QString kLayout = QStringLiteral("Rozmisteni");
const QString kConnection = QStringLiteral("pripojeni");

// Removes every character of code U+0020 and below at both ends.
QString TrimControls(const QString& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && text[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

TForm1::TForm1(TDesktopOperations& desktop, QString dataFolder, QObject* parent, QString userFolder,
               TDesktopServices services)
    : QObject(parent), JabberClient1(new TJabberClient(this)), FDesktop(desktop),
      FDataFolder(std::move(dataFolder)), FUserFolder(std::move(userFolder)),
      FServices(std::move(services)) {
    FDesktop.SetTrayHint(QStringLiteral("Velora"));
    FDesktop.SetEnabled(TControl::Novakarta1, false);
    FDesktop.SetTimerInterval(5000);
    FDesktop.SetTimerEnabled(true);
    FDesktop.OnTimer = [this] {
        Timer1Timer();
    };
    FDesktop.OnClose = [this] {
        FormClose();
    };
    // Set before FormCreate, whose telephone prompt a signal may interrupt.
    FDesktop.OnTerminate = [this] {
        FormTerminate();
    };
    FDesktop.OnTrayClick = [this] {
        TrayIcon1Click();
    };
    FDesktop.OnBalloonClick = [this] {
        TrayIcon1BalloonClick();
    };
    FDesktop.OnTrayDblClick = [this] {
        TrayIcon1DblClick();
    };
    FDesktop.OnHistoryOpen = [this](int row) {
        HistoryOpen(row);
    };
    IdTCPServer1.OnLine = [this](const QString& line) {
        nacti(line);
    };
    FDesktop.OnClick = [this](TControl control) {
        switch (control) {
        case TControl::Button1:
            Button1Click();
            break;
        case TControl::U6ivatel1:
            U6ivatel1Click();
            break;
        case TControl::Npovda1:
            Npovda1Click();
            break;
        case TControl::Verze1:
            Verze1Click();
            break;
        case TControl::Novakarta1:
            Novakarta1Click();
            break;
        case TControl::Zobrazit1:
            Zobrazit1Click();
            break;
        case TControl::Prihlasit1:
            Prihlasit1Click();
            break;
        case TControl::Konec1:
            Konec1Click();
            break;
        case TControl::CheckBox1:
            CheckBox1Click();
            break;
        case TControl::Spoustet1:
            Spoustet1Click();
            break;
        case TControl::Historiehovor1:
            Historiehovor1Click();
            break;
        default:
            break;
        }
    };
    SetUpSession();
    SetUpUpdate();
    try {
        FormCreate();
    } catch (const std::exception& e) {
        FDesktop.ReportError(QString::fromUtf8(e.what()));
    }
    SetUpDesktop();
}

TForm1::~TForm1() {
    FDesktop.OnClick = nullptr;
    FDesktop.OnTrayClick = nullptr;
    FDesktop.OnTrayDblClick = nullptr;
    FDesktop.OnBalloonClick = nullptr;
    FDesktop.OnTimer = nullptr;
    FDesktop.OnClose = nullptr;
    FDesktop.OnCloseQuery = nullptr;
    FDesktop.OnTrayMenu = nullptr;
    FDesktop.OnLoadFailed = nullptr;
    FDesktop.OnTerminate = nullptr;
    FDesktop.OnHistoryOpen = nullptr;
}

QString TForm1::DataFilePath(const QString& name) const {
    return QDir(FDataFolder).filePath(name);
}

void TForm1::FormCreate() {
    first_tick = true;
    // All four parts: an update to 1.0.1 must not be offered again to 1.0.1.0.
    running_version = OwnFileVersion() ? FileVersionText() : QString();
    last_new.clear();
    history_list = CallHistory();

    const TIniFile ini(NewestCopy(QStringLiteral("data.ini"), FDataFolder, FUserFolder));
    FDesktop.SetWindowGeometry(QRect(ini.ReadInteger(kLayout, QStringLiteral("zleva"), 50),
                                     ini.ReadInteger(kLayout, QStringLiteral("zhora"), 50),
                                     ini.ReadInteger(kLayout, QStringLiteral("sirka"), 500),
                                     ini.ReadInteger(kLayout, QStringLiteral("vyska"), 500)));
    listen_port = ini.ReadInteger(kConnection, QStringLiteral("port"), 1024);
    jabber_jmeno = ini.ReadString(kConnection, QStringLiteral("jmeno"), QString());
    FDeployment = TDeployment::Read(ini);
    JabberClient1->SetJabberServer(FDeployment.Server);
    JabberClient1->SetJabberPort(FDeployment.ServerPort);
    SetUpEncryption();

    const QString historyPath =
        NewestCopy(QStringLiteral("historie.dat"), FDataFolder, FUserFolder);
    if (QFile::exists(historyPath)) {
        TTextFile history = ReadTextFile(historyPath);
        history_list = CallHistory(std::move(history.Lines));
        history_encoding = history.Encoding;
    }
    if (FHistoryModel)
        FHistoryModel->Reload();

    if (listen_port < 0 || listen_port > 65535)
        throw std::runtime_error(QStringLiteral("Port %1 není platný port TCP (0 až 65535)")
                                     .arg(listen_port)
                                     .toStdString());
    IdTCPServer1.Start(static_cast<quint16>(listen_port));

    FDesktop.Navigate(FDeployment.HelpPage());

    if (jabber_jmeno.isEmpty())
        jabber_jmeno = FDesktop.InputBox(QStringLiteral("Telefonni cislo"),
                                         QStringLiteral("Zadejte telefonni číslo včetně "
                                                        "mezinárodní předvolby"),
                                         QStringLiteral("00420"));
    if (!jabber_jmeno.contains(u'@'))
        jabber_jmeno += u'@' + FDeployment.Domain;
    FDesktop.SetCaption(TControl::Label2, jabber_jmeno);
}

TForm1::TSaveOnClose TForm1::SaveOnClose() {
    TSaveOnClose saved;
    // Keys of data.ini that the program does not know are kept; an unreadable file leaves
    // just the program's own.
    TIniFile ini{QString()};
    try {
        ini = TIniFile(NewestCopy(QStringLiteral("data.ini"), FDataFolder, FUserFolder));
    } catch (const std::exception&) {
    }
    const QRect outer = FDesktop.WindowGeometry();
    ini.WriteInteger(kLayout, QStringLiteral("sirka"), outer.width());
    ini.WriteInteger(kLayout, QStringLiteral("vyska"), outer.height());
    ini.WriteInteger(kLayout, QStringLiteral("zleva"), outer.left());
    ini.WriteInteger(kLayout, QStringLiteral("zhora"), outer.top());
    ini.WriteInteger(kConnection, QStringLiteral("port"), listen_port);
    ini.WriteString(kConnection, QStringLiteral("jmeno"), jabber_jmeno);
    saved.Settings = SaveToFolderOrFallback(QStringLiteral("data.ini"), FDataFolder, FUserFolder,
                                            [&](const QString& path) { ini.SaveAs(path); });
    saved.History = SaveToFolderOrFallback(
        QStringLiteral("historie.dat"), FDataFolder, FUserFolder,
        [&](const QString& path) { WriteTextFile(path, history_list.Lines(), history_encoding); });
    IdTCPServer1.Stop();
    return saved;
}

QStringList TForm1::TSaveOnClose::Messages() const {
    QStringList messages;
    for (const QString& message : {SaveMessage(Settings, QStringLiteral("Nastavení")),
                                   SaveMessage(History, QStringLiteral("Historii hovorů"))})
        if (!message.isEmpty())
            messages << message;
    return messages;
}

void TForm1::FormClose() {
    const TSaveOnClose saved = SaveOnClose();
    const QString messages = saved.Messages().join(QStringLiteral("\n\n"));
    if (!saved.Lost()) {
        if (!messages.isEmpty())
            FDesktop.MessageBox(messages);
        return;
    }
    if (FDesktop.Confirm(messages + QStringLiteral("\n\nUkončit program i tak? Neuložené údaje "
                                                   "se ztratí.")))
        return;
    if (listen_port >= 0 && listen_port <= 65535)
        IdTCPServer1.Start(static_cast<quint16>(listen_port));
    throw TCloseCancelled();
}

void TForm1::FormTerminate() {
    const TSaveOnClose saved = SaveOnClose();
    for (const QString& message : saved.Messages())
        FDesktop.PrintError(message);
    FDesktop.EndProcess(saved.Lost() ? 1 : 0);
}

void TForm1::Npovda1Click() {
    FDesktop.Navigate(FDeployment.HelpPage());
}

void TForm1::Verze1Click() {
    FDesktop.MessageBox(QStringLiteral("Verze ") + FileVersionText());
}

void TForm1::nacti(const QString& record) {
    const CallRecord r = SplitCallRecord(record);
    if (r.kod != u"1")
        return;

    // A second call within the same second gets a key of its own rather than overwriting the
    // first call's lines; its "_cas" stays the plain time stamp.
    const QString stamp = CallTimeStamp(Now(), QLocale::system());
    const QString t = history_list.UniqueCallKey(stamp);
    history_list.SetEntry(t + QStringLiteral("_kdo"), r.kdo);
    history_list.SetEntry(t + QStringLiteral("_nazev"), r.nazev);
    history_list.SetEntry(t + QStringLiteral("_odkaz"), r.odkaz);
    history_list.SetEntry(t + QStringLiteral("_cas"), stamp);
    if (FHistoryModel)
        FHistoryModel->Refresh();

    last_kdo = r.kdo;
    last_kam = r.kam;
    last_odkaz = r.odkaz;
    last_typ = r.typ;

    if (!last_odkaz.isEmpty()) {
        if (r.typ == u"2") {
            last_new = FDeployment.Webmail;
        } else if (r.typ == u"3") {
            const qsizetype cut = last_odkaz.indexOf(QStringLiteral("&record="));
            last_new = cut < 0 ? QString() : last_odkaz.left(cut);
            last_new.replace(QStringLiteral("DetailView"), QStringLiteral("EditView"));
            FDesktop.SetEnabled(TControl::Novakarta1, true);
        }
    }

    const QString s = r.kdo + u'~' + TrimControls(r.nazev);
    const qsizetype tilde = s.indexOf(u'~');
    QString text = s.mid(tilde + 1);
    if (text.isEmpty())
        text = QStringLiteral("Neznámý volající");
    FDesktop.SetBalloonTitle(s.left(tilde));
    FDesktop.SetBalloonTimeout(10000);
    FDesktop.SetBalloonHint(text);
    FDesktop.ShowBalloonHint();
}

void TForm1::JabberClient1Message(QObject*, const QString& XMLMessage) {
    if (!IsFromExchange(XMLMessage))
        return;
    QDomDocument document;
    QString error;
    int line = 0, column = 0;
    if (!document.setContent(XMLMessage, &error, &line, &column))
        throw std::runtime_error(QStringLiteral("%1 (line %2, column %3)")
                                     .arg(error)
                                     .arg(line)
                                     .arg(column)
                                     .toStdString());
    const QDomNode first = document.documentElement().firstChild();
    QString record;
    if (first.isElement()) {
        const QDomNodeList content = first.childNodes();
        if (content.size() > 1 || (content.size() == 1 && !content.at(0).isText()))
            throw std::runtime_error(QStringLiteral("Element \"%1\" holds more than text")
                                         .arg(first.nodeName())
                                         .toStdString());
        if (content.size() == 1)
            record = content.at(0).nodeValue();
    } else if (first.isText()) {
        record = first.nodeValue();
    } else {
        throw std::runtime_error("The message root has no element or text child");
    }
    nacti(record);
}

void TForm1::NavigateToLink(const QString& link) {
    const QString scheme = QUrl(link).scheme();
    if (scheme.compare(u"http", Qt::CaseInsensitive) == 0 ||
        scheme.compare(u"https", Qt::CaseInsensitive) == 0)
        FDesktop.Navigate(link);
    else
        FDesktop.Navigate(QStringLiteral("about:blank"));
}

void TForm1::TrayIcon1Click() {
    NavigateToLink(last_odkaz);
    // A window the close button hid comes back; one hidden by a double click
    // stays hidden.
    if (FHiddenToTray) {
        FHiddenToTray = false;
        FDesktop.SetVisible(true);
    }
    BringWindowForward();
}

void TForm1::BringWindowForward() {
    FDesktop.SetWindowStateNormal();
    FDesktop.BringToFront();
    FDesktop.BringWindowToTop();
}

void TForm1::TrayIcon1BalloonClick() {
    TrayIcon1Click();
}

void TForm1::TrayIcon1DblClick() {
    FHiddenToTray = false;
    FDesktop.SetVisible(!FDesktop.Visible());
}

void TForm1::Novakarta1Click() {
    NavigateToLink(last_new);
}

void TForm1::Historiehovor1Click() {
    if (FHistoryModel)
        FHistoryModel->Refresh();
    else
        FHistoryModel = std::make_unique<TCallHistoryModel>(history_list);
    FDesktop.ShowHistory(*FHistoryModel);
}

void TForm1::HistoryOpen(int row) {
    if (!FHistoryModel)
        return;
    NavigateToLink(FHistoryModel->Link(row));
    if (!FDesktop.Visible())
        FDesktop.SetVisible(true);
    FDesktop.SetWindowStateNormal();
    FDesktop.BringToFront();
    FDesktop.BringWindowToTop();
}
