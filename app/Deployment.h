#pragma once

#include <QString>

class TIniFile;

// The deployment's hosts and pages. Each value has a built-in default and can
// be overridden by an optional key in data.ini, section "pripojeni", which the
// program reads but never writes.
struct TDeployment {
    QString Server = QStringLiteral("xmpp.velora.example"); // key "server": XMPP host
    QString Domain = QStringLiteral("velora.example");      // key "domena": appended to numbers
    QString Web = QStringLiteral("www.velora.example");     // key "web": help and update pages
    QString Webmail = QStringLiteral("http://mail.velora.example/contacts/new"); // key "webmail"
    quint16 ServerPort = 5222; // key "serverport": XMPP port, 1 to 65535
    // Key "ustredna": the exchange's own XMPP address. When set, only messages
    // from that bare address are taken as call records; empty accepts every sender.
    QString Exchange;
    // Key "sifrovani": "vyzadovat" (never log in without TLS), "pokud-nabizi" (TLS
    // whenever offered; the default) or "ne" (never start TLS). Kept as written.
    QString Encryption = QStringLiteral("pokud-nabizi");
    // Key "otisk": the SHA-256 fingerprint the server certificate must have.
    QString Fingerprint;
    // Key "ca": a PEM file of issuers trusted besides the system's.
    QString CaFile;

    // Reads the overrides; missing or empty keys keep the defaults.
    static TDeployment Read(const TIniFile& ini);

    QString HelpPage() const;
};
