#include "SaslClient.h"

#include <gsasl.h>

namespace {

Gsasl* Library() {
    static Gsasl* const context = [] {
        Gsasl* made = nullptr;
        return gsasl_init(&made) == GSASL_OK ? made : nullptr;
    }();
    return context;
}

// SASLprep (RFC 4013) where it succeeds; the text as it is otherwise, for the server
// to judge.
QByteArray Prepared(const QString& Text) {
    const QByteArray raw = Text.toUtf8();
    char* out = nullptr;
    if (gsasl_saslprep(raw.constData(), GSASL_ALLOW_UNASSIGNED, &out, nullptr) != GSASL_OK)
        return raw;
    const QByteArray prepared(out);
    gsasl_free(out);
    return prepared;
}

const QString DigestMd5 = QStringLiteral("DIGEST-MD5");
const QString Plain = QStringLiteral("PLAIN");

} // namespace

const QStringList& TSaslClient::Mechanisms() {
    static const QStringList names{QStringLiteral("SCRAM-SHA-256"), QStringLiteral("SCRAM-SHA-1"),
                                   Plain};
    return names;
}

TSaslClient::TSaslClient(const QString& Mechanism, const QString& User, const QString& Password) {
    Gsasl* library = Library();
    const int rc = library ? gsasl_client_start(library, Mechanism.toUtf8().constData(), &FSession)
                           : GSASL_MALLOC_ERROR;
    if (rc != GSASL_OK) {
        FSession = nullptr;
        FError = QString::fromUtf8(gsasl_strerror(rc));
        return;
    }
    // The SCRAM mechanisms prepare the credentials themselves; PLAIN sends them as
    // given, so they are prepared here.
    const bool plain = Mechanism.compare(Plain, Qt::CaseInsensitive) == 0;
    FScram = Mechanism.startsWith(QStringLiteral("SCRAM-"), Qt::CaseInsensitive);
    // A password that SASLprep refuses is refused here, before the library's own
    // refusal further in (which also loses memory).
    if (FScram) {
        char* prepared = nullptr;
        const int prep = gsasl_saslprep(Password.toUtf8().constData(), Gsasl_saslprep_flags(0),
                                        &prepared, nullptr);
        gsasl_free(prepared);
        if (prep != GSASL_OK) {
            FError = QStringLiteral("heslo obsahuje znaky, které SASLprep nepřipouští");
            gsasl_finish(FSession);
            FSession = nullptr;
            return;
        }
    }
    gsasl_property_set(FSession, GSASL_AUTHID,
                       (plain ? Prepared(User) : User.toUtf8()).constData());
    gsasl_property_set(FSession, GSASL_PASSWORD,
                       (plain ? Prepared(Password) : Password.toUtf8()).constData());
}

TSaslClient::~TSaslClient() {
    if (FSession)
        gsasl_finish(FSession);
}

std::optional<QByteArray> TSaslClient::Start() {
    return Run({}, true);
}

std::optional<QByteArray> TSaslClient::Step(const QByteArray& Challenge) {
    if (FDone) {
        FError = QStringLiteral("výzva po skončené výměně");
        return std::nullopt;
    }
    if (FScram && TooManyIterations(Challenge)) {
        FError = QStringLiteral("server žádá příliš mnoho iterací");
        return std::nullopt;
    }
    return Run(Challenge, false);
}

bool TSaslClient::Finish(const QByteArray& AdditionalData) {
    if (!FSession)
        return false;
    if (AdditionalData.isEmpty())
        return FDone;
    // Data after a finished exchange proves nothing new and is refused.
    return !FDone && Run(AdditionalData, false).has_value() && FDone;
}

std::optional<QByteArray> TSaslClient::Run(const QByteArray& Input, bool First) {
    if (!FSession)
        return std::nullopt;
    char* output = nullptr;
    size_t length = 0;
    const int rc = gsasl_step(FSession, First ? nullptr : Input.constData(),
                              First ? 0 : size_t(Input.size()), &output, &length);
    if (rc != GSASL_OK && rc != GSASL_NEEDS_MORE) {
        gsasl_free(output);
        FError = QString::fromUtf8(gsasl_strerror(rc));
        return std::nullopt;
    }
    FDone = rc == GSASL_OK;
    QByteArray answer(output ? output : "", qsizetype(length));
    gsasl_free(output);
    return answer;
}

bool TSaslClient::TooManyIterations(const QByteArray& ServerFirst) {
    for (const QByteArray& attribute : ServerFirst.split(',')) {
        if (!attribute.startsWith("i="))
            continue;
        bool ok = false;
        const qint64 count = attribute.mid(2).toLongLong(&ok);
        // A count that is not a number is left to the library to refuse.
        return ok && count > MaxScramIterations;
    }
    return false;
}

QString ChooseSaslMechanism(const QStringList& Offered, bool Encrypted) {
    QStringList order = TSaslClient::Mechanisms();
    order.insert(order.indexOf(Plain), DigestMd5);
    for (const QString& name : order) {
        if (name == Plain && !Encrypted)
            continue;
        if (Offered.contains(name, Qt::CaseInsensitive))
            return name;
    }
    return {};
}
