#include "wuDesktop.h"

#include "wuStartDetached.h"
#include "wuWebUpdateInfo.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

void TwuQtDesktop::ProcessMessages() {
    QCoreApplication::processEvents();
}

std::unique_ptr<TwuInfoDialog> TwuQtDesktop::CreateInfoDialog() {
    return std::make_unique<Tfrm_ShowInfoUpdate>();
}

bool TwuQtDesktop::StartFile(const QString& fileName, const QString& parameters) {
    const QFileInfo file(fileName);
    if (!file.isFile())
        return false;
    const QStringList arguments = QProcess::splitCommand(parameters);
    if (file.suffix().compare(QLatin1String("sh"), Qt::CaseInsensitive) == 0)
        return wuStartDetached(QStringLiteral("/bin/sh"),
                               QStringList{file.absoluteFilePath()} + arguments);
    if (file.isExecutable())
        return wuStartDetached(file.absoluteFilePath(), arguments);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath()));
}

void TwuQtDesktop::Terminate() {
    QCoreApplication::quit();
}
