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
    return d;
}

QString TDeployment::HelpPage() const {
    return QStringLiteral("http://") + Web + QStringLiteral("/ustredna/help/index.php/Velora_help");
}
