#pragma once

#include <QString>
#include <QTemporaryDir>

// A private CA and server certificates made with the openssl command into a private
// temporary folder for the life of the object (see tests/certs/make for the files).
class TTestCertificates {
public:
    explicit TTestCertificates(const QString& Domain = QStringLiteral("localhost"));

    bool Ok() const { return FError.isEmpty(); }
    QString Error() const { return FError; }
    QString Dir() const { return FDir.path(); }
    QString Path(const QString& File) const { return FDir.filePath(File); }
    // The SHA-256 fingerprint of server.pem, hex with colons.
    QString Fingerprint() const { return FingerprintOf(QStringLiteral("server")); }
    // The same for <Name>.pem.
    QString FingerprintOf(const QString& Name) const;

private:
    QTemporaryDir FDir;
    QString FError;
};
