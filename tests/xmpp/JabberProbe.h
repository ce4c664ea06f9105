#pragma once

// Test access to TJabberClient: its own steps made public, and a recorder that writes
// every event into one list, in the order raised.

#include "Jabber.h"

#include <QStringList>

class TJabberProbe : public TJabberClient {
public:
    using TJabberClient::ChooseMechanism;
    using TJabberClient::DigestResponse;
    using TJabberClient::IqAuthDigest;
    using TJabberClient::MD5Hex;
    using TJabberClient::NewID;
    using TJabberClient::ParseData;
    using TJabberClient::SetFixedCnonce;
    using TJabberClient::StreamHeader;

    void Feed(const QByteArray& Bytes) { ParseData(Bytes.constData(), uint32_t(Bytes.size())); }
};

// Each event as one entry: its name, and after a blank the text it carries.
struct TEventLog {
    QStringList Events;

    void Attach(TJabberClient& Client) {
        TJabberClient* expected = &Client;
        auto note = [this, expected](TJabberClient* Sender, const QString& Entry) {
            Events << (Sender == expected ? Entry : QStringLiteral("wrong Sender: ") + Entry);
        };
        Client.OnConnect = [=](TJabberClient* S) {
            note(S, QStringLiteral("Connect"));
        };
        Client.OnJabberOnline = [=](TJabberClient* S) {
            note(S, QStringLiteral("JabberOnline"));
        };
        Client.OnDisconnect = [=](TJabberClient* S) {
            note(S, QStringLiteral("Disconnect"));
        };
        Client.OnConnectError = [=](TJabberClient* S) {
            note(S, QStringLiteral("ConnectError"));
        };
        Client.OnSendData = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("SendData ") + T);
        };
        Client.OnReceiveData = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("ReceiveData ") + T);
        };
        Client.OnGetRoster = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("GetRoster ") + T);
        };
        Client.OnGetBookMarks = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("GetBookMarks ") + T);
        };
        Client.OnMessage = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("Message ") + T);
        };
        Client.OnIQ = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("IQ ") + T);
        };
        Client.OnPresence = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("Presence ") + T);
        };
        Client.OnSecurityError = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("SecurityError ") + T);
        };
        Client.OnLoginError = [=](TJabberClient* S, const QString& T) {
            note(S, QStringLiteral("LoginError ") + T);
        };
    }

    // The entries without SendData and ReceiveData, which the wire checks cover.
    QStringList Owner() const {
        QStringList out;
        for (const QString& e : Events)
            if (!e.startsWith(u"SendData ") && !e.startsWith(u"ReceiveData "))
                out << e;
        return out;
    }
};
