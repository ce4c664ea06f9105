#include "SaslClient.h"

#include <gsasl.h>
#include <mutex>
#include <openssl/evp.h>

// A SCRAM session's hook: its prepared password and hash; without them
// (PLAIN) nothing is supplied and the library goes on as it would.
struct TScramSecret {
    const EVP_MD* Hash;
    QByteArray Password;
};

namespace {

// SCRAM's salted password (RFC 5802), which GNU SASL asks for before it derives it
// itself: OpenSSL derives it in well under half the time, and a login again with the
// same password, salt and count (every reconnect) takes the last result, which the
// RFC allows a client to keep.
class TSaltedPasswords {
public:
    static TSaltedPasswords& Instance() {
        static TSaltedPasswords passwords;
        return passwords;
    }

    // Hex digits, as the library takes them; empty when the derivation failed.
    QByteArray Get(const EVP_MD* Hash, const QByteArray& Password, const QByteArray& Salt,
                   int Iterations) {
        std::lock_guard lock(FLock);
        if (FHash != Hash || FPassword != Password || FSalt != Salt || FIterations != Iterations) {
            QByteArray salted(EVP_MD_get_size(Hash), '\0');
            if (PKCS5_PBKDF2_HMAC(Password.constData(), int(Password.size()),
                                  reinterpret_cast<const unsigned char*>(Salt.constData()),
                                  int(Salt.size()), Iterations, Hash, int(salted.size()),
                                  reinterpret_cast<unsigned char*>(salted.data())) != 1)
                return {};
            FHash = Hash;
            FPassword = Password;
            FSalt = Salt;
            FIterations = Iterations;
            FSalted = salted.toHex();
        }
        return FSalted;
    }

private:
    std::mutex FLock;
    const EVP_MD* FHash = nullptr;
    QByteArray FPassword;
    QByteArray FSalt;
    int FIterations = 0;
    QByteArray FSalted;
};

int SupplyProperty(Gsasl*, Gsasl_session* Session, Gsasl_property Property) {
    const auto* secret = static_cast<const TScramSecret*>(gsasl_session_hook_get(Session));
    const char* iterations = gsasl_property_fast(Session, GSASL_SCRAM_ITER);
    const char* salt = gsasl_property_fast(Session, GSASL_SCRAM_SALT);
    if (Property != GSASL_SCRAM_SALTED_PASSWORD || !secret || !iterations || !salt)
        return GSASL_NO_CALLBACK;
    bool ok = false;
    const int count = QByteArray(iterations).toInt(&ok);
    if (!ok || count <= 0)
        return GSASL_NO_CALLBACK;
    const QByteArray salted = TSaltedPasswords::Instance().Get(secret->Hash, secret->Password,
                                                               QByteArray::fromBase64(salt), count);
    if (salted.isEmpty())
        return GSASL_NO_CALLBACK;
    gsasl_property_set(Session, GSASL_SCRAM_SALTED_PASSWORD, salted.constData());
    return GSASL_OK;
}

Gsasl* Library() {
    static Gsasl* const context = [] {
        Gsasl* made = nullptr;
        if (gsasl_init(&made) != GSASL_OK)
            return static_cast<Gsasl*>(nullptr);
        gsasl_callback_set(made, &SupplyProperty);
        return made;
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
        if (prep != GSASL_OK) {
            gsasl_free(prepared);
            FError = QStringLiteral("heslo obsahuje znaky, které SASLprep nepřipouští");
            gsasl_finish(FSession);
            FSession = nullptr;
            return;
        }
        const bool sha1 =
            Mechanism.compare(QStringLiteral("SCRAM-SHA-1"), Qt::CaseInsensitive) == 0;
        FSecret = std::make_unique<TScramSecret>(
            TScramSecret{sha1 ? EVP_sha1() : EVP_sha256(), QByteArray(prepared)});
        gsasl_free(prepared);
        gsasl_session_hook_set(FSession, FSecret.get());
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
