#include "Deployment.h"

#include "IniFile.h"

namespace {

void Override(const TIniFile& ini, const char* key, QString& value) {
    const QString found =
        ini.ReadString(QStringLiteral("pripojeni"), QLatin1String(key), QString());
    if (!found.isEmpty())
        value = found;
}

} // namespace

TDeployment TDeployment::Read(const TIniFile& ini) {
    TDeployment d;
    Override(ini, "server", d.Server);
    Override(ini, "domena", d.Domain);
    Override(ini, "web", d.Web);
    Override(ini, "webmail", d.Webmail);
    Override(ini, "ustredna", d.Exchange);
    Override(ini, "sifrovani", d.Encryption);
    Override(ini, "otisk", d.Fingerprint);
    Override(ini, "ca", d.CaFile);
    // Anything but a TCP port keeps the default.
    const int port = ini.ReadInteger(QStringLiteral("pripojeni"), QStringLiteral("serverport"), 0);
    if (port > 0 && port <= 65535)
        d.ServerPort = static_cast<quint16>(port);
    return d;
}

QString TDeployment::HelpPage() const {
    return QStringLiteral("http://") + Web + QStringLiteral("/ustredna/help/index.php/Velora_help");
}
