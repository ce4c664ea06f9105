#include "DigestMd5.h"

#include <QCryptographicHash>

namespace {

QByteArray Md5(const QByteArray& Bytes) {
    return QCryptographicHash::hash(Bytes, QCryptographicHash::Md5);
}

QByteArray Md5Hex(const QByteArray& Bytes) {
    return Md5(Bytes).toHex();
}

// HEX(KD(HA1, nonce:nc:cnonce:auth:HEX(H(A2)))) with the given A2.
QString DigestOf(const TDigestParams& P, const QByteArray& A2) {
    const QByteArray kd = DigestMd5HA1(P) + ':' + P.Nonce.toLatin1() + ':' + P.Nc.toUtf8() + ':' +
                          P.Cnonce.toUtf8() + ":auth:" + Md5Hex(A2);
    return QString::fromLatin1(Md5Hex(kd));
}

} // namespace

QString TDirectiveList::Value(QStringView Name) const {
    for (const TChallengeDirective& item : FItems)
        if (QStringView(item.Name).compare(Name, Qt::CaseInsensitive) == 0)
            return item.Value;
    return {};
}

bool TDirectiveList::Has(QStringView Name) const {
    for (const TChallengeDirective& item : FItems)
        if (QStringView(item.Name).compare(Name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

TDirectiveList ParseChallenge(const QString& Text) {
    TDirectiveList list;
    enum { InName, InValue, InQuotes } state = InName;
    QString name;
    QString value;
    bool quoted = false;
    bool touched = false;
    auto finish = [&] {
        if (touched)
            list.Add(name, value);
        name.clear();
        value.clear();
        quoted = false;
        touched = false;
        state = InName;
    };
    bool escaped = false;
    for (const QChar c : Text) {
        if (state == InQuotes) {
            // A backslash takes the next character as it is (a quoted-pair).
            if (escaped) {
                value += c;
                escaped = false;
            } else if (c == u'\\') {
                escaped = true;
            } else if (c == u'"') {
                state = InValue;
            } else {
                value += c;
            }
            continue;
        }
        // White space may follow a comma (and so begin a directive).
        if (state == InName && name.isEmpty() &&
            (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'))
            continue;
        if (c == u',') {
            finish();
            continue;
        }
        touched = true;
        if (c == u'"') {
            value.clear();
            quoted = true;
            state = InQuotes;
        } else if (state == InName) {
            if (c == u'=')
                state = InValue;
            else
                name += c;
        } else if (!quoted) {
            value += c;
        }
    }
    finish();
    return list;
}

QByteArray DigestCharsetBytes(const QString& Text) {
    for (const QChar c : Text)
        if (c.unicode() > 0xFF)
            return Text.toUtf8();
    return Text.toLatin1();
}

QByteArray DigestMd5HA1(const TDigestParams& P) {
    const QByteArray x = Md5(DigestCharsetBytes(P.UserName) + ':' + DigestCharsetBytes(P.Realm) +
                             ':' + DigestCharsetBytes(P.Password));
    return Md5Hex(x + ':' + P.Nonce.toLatin1() + ':' + P.Cnonce.toUtf8());
}

QString DigestMd5Response(const TDigestParams& P) {
    return DigestOf(P, "AUTHENTICATE:" + P.DigestUri.toUtf8());
}

QString DigestMd5RspAuth(const TDigestParams& P) {
    return DigestOf(P, ':' + P.DigestUri.toUtf8());
}

QByteArray DigestQuoted(const QByteArray& Value) {
    QByteArray quoted;
    quoted.reserve(Value.size());
    for (const char c : Value) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted;
}

QByteArray DigestMd5Answer(const TDigestParams& P) {
    return "username=\"" + DigestQuoted(P.UserName.toUtf8()) + "\",realm=\"" +
           DigestQuoted(P.Realm.toUtf8()) + "\",nonce=\"" + DigestQuoted(P.Nonce.toLatin1()) +
           "\",cnonce=\"" + DigestQuoted(P.Cnonce.toUtf8()) + "\",nc=" + P.Nc.toUtf8() +
           ",qop=auth,digest-uri=\"" + DigestQuoted(P.DigestUri.toUtf8()) +
           "\",charset=utf-8,response=" + DigestMd5Response(P).toLatin1();
}
