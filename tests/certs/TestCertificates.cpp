#include "TestCertificates.h"

#include <QProcess>

TTestCertificates::TTestCertificates(const QString& Domain) {
    if (!FDir.isValid()) {
        FError = QStringLiteral("no temporary folder");
        return;
    }
    QProcess make;
    make.setProcessChannelMode(QProcess::MergedChannels);
    make.start(QStringLiteral(VELORA_MAKE_CERTS), {FDir.path(), Domain});
    if (!make.waitForFinished(-1) || make.exitStatus() != QProcess::NormalExit ||
        make.exitCode() != 0)
        FError =
            QStringLiteral("making certificates failed: ") + QString::fromLocal8Bit(make.readAll());
}

QString TTestCertificates::FingerprintOf(const QString& Name) const {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                   QStringLiteral("-sha256"), QStringLiteral("-in"),
                   Path(Name + QStringLiteral(".pem"))});
    openssl.waitForFinished(-1);
    const QString line = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed();
    return line.mid(line.indexOf(u'=') + 1);
}
