#include "VersionInfo.h"

#include <QSysInfo>

std::optional<TFileVersion> OwnFileVersion() {
    return TFileVersion{VELORA_VERSION_MAJOR, VELORA_VERSION_MINOR, VELORA_VERSION_PATCH,
                        VELORA_VERSION_TWEAK};
}

QString VersionMajorMinor(const std::optional<TFileVersion>& version) {
    if (!version)
        return QString();
    return QStringLiteral("%1.%2").arg((*version)[0]).arg((*version)[1]);
}

TFileVersion FileVersionParts(const std::optional<TFileVersion>& version) {
    return version.value_or(TFileVersion{0, 0, 0, 0});
}

QString FileVersionText(const std::optional<TFileVersion>& version) {
    const TFileVersion v = FileVersionParts(version);
    return QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}

QString LocalComputerName() {
    return QSysInfo::machineHostName().left(260);
}
