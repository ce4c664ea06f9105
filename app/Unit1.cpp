#include "Unit1.h"

#include "DesktopOperations.h"
#include "IniFile.h"
#include "Jabber.h"
#include "VersionInfo.h"

#include <QDir>
#include <QFile>
#include <exception>

namespace {

const QString kLayout = QStringLiteral("Rozmisteni");
const QString kConnection = QStringLiteral("pripojeni");

} // namespace

TForm1::TForm1(TDesktopOperations& desktop, QString dataFolder, QObject* parent)
    : QObject(parent), JabberClient1(new TJabberClient(this)), FDesktop(desktop),
      FDataFolder(std::move(dataFolder)) {
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
        default:
            break;
        }
    };
    SetUpSession();
    try {
        FormCreate();
    } catch (const std::exception& e) {
        FDesktop.ReportError(QString::fromUtf8(e.what()));
    }
}

TForm1::~TForm1() {
    FDesktop.OnClick = nullptr;
    FDesktop.OnTrayClick = nullptr;
    FDesktop.OnTrayDblClick = nullptr;
    FDesktop.OnBalloonClick = nullptr;
    FDesktop.OnTimer = nullptr;
    FDesktop.OnClose = nullptr;
}

QString TForm1::DataFilePath(const QString& name) const {
    return QDir(FDataFolder).filePath(name);
}

void TForm1::FormCreate() {
    first_tick = true;
    running_version = VersionMajorMinor();
    last_new.clear();
    history_list.clear();

    const TIniFile ini(DataFilePath(QStringLiteral("data.ini")));
    FDesktop.SetWindowGeometry(QRect(ini.ReadInteger(kLayout, QStringLiteral("zleva"), 50),
                                     ini.ReadInteger(kLayout, QStringLiteral("zhora"), 50),
                                     ini.ReadInteger(kLayout, QStringLiteral("sirka"), 500),
                                     ini.ReadInteger(kLayout, QStringLiteral("vyska"), 500)));
    listen_port = ini.ReadInteger(kConnection, QStringLiteral("port"), 1024);
    jabber_jmeno = ini.ReadString(kConnection, QStringLiteral("jmeno"), QString());
    FDeployment = TDeployment::Read(ini);
    JabberClient1->SetJabberServer(FDeployment.Server);
    JabberClient1->SetJabberPort(FDeployment.ServerPort);

    const QString historyPath = DataFilePath(QStringLiteral("historie.dat"));
    if (QFile::exists(historyPath)) {
        TTextFile history = ReadTextFile(historyPath);
        history_list = std::move(history.Lines);
        history_encoding = history.Encoding;
    }

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

void TForm1::FormClose() {
    TIniFile ini(DataFilePath(QStringLiteral("data.ini")));
    const QRect outer = FDesktop.WindowGeometry();
    ini.WriteInteger(kLayout, QStringLiteral("sirka"), outer.width());
    ini.WriteInteger(kLayout, QStringLiteral("vyska"), outer.height());
    ini.WriteInteger(kLayout, QStringLiteral("zleva"), outer.left());
    ini.WriteInteger(kLayout, QStringLiteral("zhora"), outer.top());
    ini.WriteInteger(kConnection, QStringLiteral("port"), listen_port);
    ini.WriteString(kConnection, QStringLiteral("jmeno"), jabber_jmeno);
    ini.Save();

    WriteTextFile(DataFilePath(QStringLiteral("historie.dat")), history_list, history_encoding);
}

void TForm1::Npovda1Click() {
    FDesktop.Navigate(FDeployment.HelpPage());
}

void TForm1::Verze1Click() {
    FDesktop.MessageBox(QStringLiteral("Verze ") + FileVersionText());
}
