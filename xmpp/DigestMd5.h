#pragma once

// SASL DIGEST-MD5 (RFC 2831) as the client uses it: reading the server's challenge,
// and computing the response and the server's rspauth for qop=auth without an
// authorization identity.

#include <QByteArray>
#include <QList>
#include <QString>

struct TChallengeDirective {
    QString Name;
    QString Value;
};

// The directives of a challenge, in the order in which they appear.
class TDirectiveList {
public:
    void Add(const QString& Name, const QString& Value) { FItems.append({Name, Value}); }
    // The value of the first directive with this name, compared without regard to
    // case; empty when there is none.
    QString Value(QStringView Name) const;
    bool Has(QStringView Name) const;
    const QList<TChallengeDirective>& Items() const { return FItems; }

private:
    QList<TChallengeDirective> FItems;
};

// Reads a comma-separated list of name=value directives; a value may stand in double
// quotes, and then holds commas and equals signs as they are, and a backslash takes
// the next character literally (\" is a quote). White space before a name is
// skipped; names are not trimmed otherwise. The end of the text ends the last
// directive. Never fails.
TDirectiveList ParseChallenge(const QString& Text);

// What an answer is computed from. Nonce holds one character per byte of the
// server's nonce.
struct TDigestParams {
    QString UserName;
    QString Realm;
    QString Password;
    QString Nonce;
    QString Cnonce;
    QString Nc;
    QString DigestUri;
};

// The bytes under which a user name, realm or password is hashed with charset=utf-8:
// ISO 8859-1 when every character fits, otherwise UTF-8. ASCII stays as it is.
QByteArray DigestCharsetBytes(const QString& Text);

// HEX(H(A1)) for qop=auth.
QByteArray DigestMd5HA1(const TDigestParams& P);
// The response directive: 32 lowercase hexadecimal digits.
QString DigestMd5Response(const TDigestParams& P);
// The rspauth value that a server knowing the password sends after the response.
QString DigestMd5RspAuth(const TDigestParams& P);
// Value as the inside of an RFC 2831 quoted string: '"' and '\' get a backslash.
QByteArray DigestQuoted(const QByteArray& Value);
// The answer text: username, realm, nonce, cnonce, nc, qop, digest-uri, charset and
// response, in this order, joined by commas, with no authzid. Values are written as
// UTF-8 (the nonce as its original bytes), quoted values escaped.
QByteArray DigestMd5Answer(const TDigestParams& P);
