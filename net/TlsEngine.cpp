#include "TlsEngine.h"

#include <QHash>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace {

const QString UntrustedPrefix = QStringLiteral("Certifikát serveru není důvěryhodný: ");

QString OpenSslErrors() {
    QString text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.isEmpty())
            text += u"; ";
        text += QString::fromLatin1(buffer);
    }
    return text;
}

QByteArray Sha256(X509* Certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_digest(Certificate, EVP_sha256(), digest, &length))
        return {};
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}

// The system's trusted issuers. The hashed folder is searched only for the issuers a
// chain names; loading the bundle file as well (what SSL_CTX_set_default_verify_paths
// does) parses every certificate in it, about 90 ms per connection. The usual
// SSL_CERT_DIR and SSL_CERT_FILE variables still choose other places.
void UseSystemStore(SSL_CTX* Context) {
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    SSL_CTX_load_verify_dir(Context, dir ? dir : X509_get_default_cert_dir());
    if (const char* file = std::getenv(X509_get_default_cert_file_env()))
        SSL_CTX_load_verify_file(Context, file);
    ERR_clear_error();
}

// What the connection reads from and writes to: the engine's two byte queues. A
// memory BIO would do, but it clears every buffer it grows or resets and hands its
// output over only as a copy; these queues are read and sent from in place.
struct TQueuePair {
    TByteQueue In;  // received from the peer, not yet read by the connection
    TByteQueue Out; // records for the peer, not yet sent
};

int QueueWrite(BIO* Bio, const char* Data, int Length) {
    BIO_clear_retry_flags(Bio);
    static_cast<TQueuePair*>(BIO_get_data(Bio))->Out.Append(Data, size_t(Length));
    return Length;
}

int QueueRead(BIO* Bio, char* Data, int Length) {
    BIO_clear_retry_flags(Bio);
    TByteQueue& in = static_cast<TQueuePair*>(BIO_get_data(Bio))->In;
    const size_t n = std::min(in.Size(), size_t(Length));
    if (n == 0) {
        // Nothing more for now: wait for more, not the end of the stream.
        BIO_set_retry_read(Bio);
        return -1;
    }
    std::memcpy(Data, in.Data(), n);
    in.Take(n);
    return int(n);
}

long QueueControl(BIO* Bio, int Command, long, void*) {
    const auto* queues = static_cast<TQueuePair*>(BIO_get_data(Bio));
    switch (Command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
        return long(queues->In.Size());
    case BIO_CTRL_WPENDING:
        return long(queues->Out.Size());
    default:
        return 0;
    }
}

int QueueCreate(BIO* Bio) {
    BIO_set_init(Bio, 1);
    return 1;
}

// Made once and kept for the process.
const BIO_METHOD* QueueMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "queues");
        if (m) {
            BIO_meth_set_write(m, QueueWrite);
            BIO_meth_set_read(m, QueueRead);
            BIO_meth_set_ctrl(m, QueueControl);
            BIO_meth_set_create(m, QueueCreate);
        }
        return m;
    }();
    return method;
}

// Client contexts, shared by the connections that trust the same issuers. Making one
// loads them, which takes tens of milliseconds when the system bundle file is named
// (SSL_CERT_FILE), and every reconnect would pay that again. A context is made anew
// when its issuer file, or the bundle, has changed on disk since.
class TContextCache {
public:
    static TContextCache& Instance() {
        // Never destroyed: OpenSSL cleans up at exit in an order of its own, and a
        // worker may still be closing a connection then.
        static auto* const cache = new TContextCache;
        return *cache;
    }

    // A reference of the caller's own (SSL_CTX_free it), or nullptr with Error set.
    SSL_CTX* Get(const QString& CaFile, QString& Error) {
        const QByteArray stamp = Stamp(CaFile);
        std::lock_guard lock(FLock);
        TEntry& entry = FEntries[CaFile];
        if (!entry.Context || entry.Stamp != stamp) {
            SSL_CTX* made = Make(CaFile, Error);
            if (!made)
                return nullptr;
            SSL_CTX_free(entry.Context);
            entry = {stamp, made};
        }
        SSL_CTX_up_ref(entry.Context);
        return entry.Context;
    }

private:
    struct TEntry {
        QByteArray Stamp;
        SSL_CTX* Context = nullptr;
    };

    // What tells a changed file: the file it is, its size and its time of change, for
    // the issuer file and for the bundle and folder the environment names.
    static QByteArray Stamp(const QString& CaFile) {
        QByteArray stamp;
        for (const QByteArray& path :
             {CaFile.toLocal8Bit(), qgetenv(X509_get_default_cert_file_env()),
              qgetenv(X509_get_default_cert_dir_env())}) {
            struct stat file {};
            if (!path.isEmpty() && ::stat(path.constData(), &file) == 0)
                stamp += QByteArray::number(qulonglong(file.st_dev)) + ' ' +
                         QByteArray::number(qulonglong(file.st_ino)) + ' ' +
                         QByteArray::number(qlonglong(file.st_size)) + ' ' +
                         QByteArray::number(qlonglong(file.st_mtim.tv_sec)) + '.' +
                         QByteArray::number(qlonglong(file.st_mtim.tv_nsec));
            stamp += path + ';';
        }
        return stamp;
    }

    static SSL_CTX* Make(const QString& CaFile, QString& Error) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (!context) {
            Error = QStringLiteral("Šifrované spojení nelze připravit: %1").arg(OpenSslErrors());
            return nullptr;
        }
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        // AES-128 first: safe for this use, and less work per byte than AES-256.
        SSL_CTX_set_ciphersuites(
            context, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
        UseSystemStore(context);
        if (!CaFile.isEmpty() &&
            !SSL_CTX_load_verify_locations(context, CaFile.toLocal8Bit().constData(), nullptr)) {
            Error =
                QStringLiteral("Soubor s důvěryhodnými certifikáty nelze načíst: %1").arg(CaFile);
            ERR_clear_error();
            SSL_CTX_free(context);
            return nullptr;
        }
        return context;
    }

    std::mutex FLock;
    QHash<QString, TEntry> FEntries;
};

} // namespace

char* TByteQueue::Space(size_t Length) {
    if (FCapacity - FEnd >= Length) {
        return FBuf.get() + FEnd;
    }
    const size_t size = Size();
    if (FCapacity - size >= Length) {
        std::memmove(FBuf.get(), Data(), size);
    } else {
        const size_t capacity = std::max(FCapacity * 2, size + Length);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (size > 0) {
            std::memcpy(grown.get(), Data(), size);
        }
        FBuf = std::move(grown);
        FCapacity = capacity;
    }
    FBegin = 0;
    FEnd = size;
    return FBuf.get() + FEnd;
}

void TByteQueue::Append(const char* Data, size_t Length) {
    if (Length > 0) {
        std::memcpy(Space(Length), Data, Length);
        Added(Length);
    }
}

void TByteQueue::Take(size_t Length) {
    FBegin += std::min(Length, Size());
    if (FBegin == FEnd) {
        FBegin = FEnd = 0;
    }
}

struct TTlsEngine::TImpl {
    SSL_CTX* Context = nullptr;
    SSL* Ssl = nullptr;
    TQueuePair Queues;
    TTlsSettings Settings;
    bool PinMismatch = false;

    ~TImpl() {
        SSL_free(Ssl);
        SSL_CTX_free(Context);
    }

    // With a pinned fingerprint the chain and the name do not matter: the server
    // certificate must be exactly the pinned one.
    static int VerifyPinned(int, X509_STORE_CTX* Store) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(Store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self = static_cast<TImpl*>(SSL_get_app_data(ssl));
        if (X509_STORE_CTX_get_error_depth(Store) != 0)
            return 1;
        const bool match =
            Sha256(X509_STORE_CTX_get_current_cert(Store)) == self->Settings.Fingerprint;
        self->PinMismatch = !match;
        return match ? 1 : 0;
    }
};

TTlsEngine::TTlsEngine(const TTlsSettings& Settings) : FImpl(std::make_unique<TImpl>()) {
    TImpl& d = *FImpl;
    d.Settings = Settings;
    ERR_clear_error();
    const bool pinned = !Settings.Fingerprint.isEmpty();
    QString failure;
    // A pinned fingerprint is the whole check: the "ca" file plays no part then.
    d.Context = TContextCache::Instance().Get(pinned ? QString() : Settings.CaFile, failure);
    if (!d.Context) {
        Fail(failure);
        return;
    }
    d.Ssl = SSL_new(d.Context);
    BIO* bio = QueueMethod() ? BIO_new(QueueMethod()) : nullptr;
    if (!d.Ssl || !bio) {
        BIO_free(bio);
        SSL_free(d.Ssl);
        d.Ssl = nullptr;
        Fail(QStringLiteral("Šifrované spojení nelze připravit: %1").arg(OpenSslErrors()));
        return;
    }
    BIO_set_data(bio, &d.Queues);
    // One BIO both ways; the connection owns it.
    SSL_set_bio(d.Ssl, bio, bio);
    SSL_set_app_data(d.Ssl, &d);
    SSL_set_verify(d.Ssl, SSL_VERIFY_PEER, pinned ? &TImpl::VerifyPinned : nullptr);
    SSL_set_connect_state(d.Ssl);
    const QByteArray domain = Settings.Domain.toUtf8();
    SSL_set_tlsext_host_name(d.Ssl, domain.constData());
    if (Settings.Fingerprint.isEmpty()) {
        SSL_set_hostflags(d.Ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(d.Ssl, domain.constData());
    }
}

TTlsEngine::~TTlsEngine() = default;

void TTlsEngine::Feed(const char* Data, size_t Length) {
    FImpl->Queues.In.Append(Data, Length);
}

char* TTlsEngine::FeedSpace(size_t Length) {
    return FImpl->Queues.In.Space(Length);
}

void TTlsEngine::Fed(size_t Length) {
    FImpl->Queues.In.Added(Length);
}

TTlsEngine::TState TTlsEngine::Handshake() {
    if (FState != TState::Handshaking)
        return FState;
    ERR_clear_error();
    const int rc = SSL_do_handshake(FImpl->Ssl);
    if (rc == 1) {
        FState = TState::Ready;
        return FState;
    }
    const int error = SSL_get_error(FImpl->Ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return FState;
    if (SSL_get_verify_result(FImpl->Ssl) != X509_V_OK || FImpl->PinMismatch)
        Fail(VerifyFailure());
    else
        Fail(QStringLiteral("Šifrované spojení se nepodařilo navázat: %1").arg(OpenSslErrors()));
    return FState;
}

QString TTlsEngine::VerifyFailure() const {
    if (FImpl->PinMismatch)
        return UntrustedPrefix + QStringLiteral("otisk certifikátu nesouhlasí s nastaveným");
    const long code = SSL_get_verify_result(FImpl->Ssl);
    QString reason;
    switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        reason = QStringLiteral("platnost certifikátu vypršela");
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        reason = QStringLiteral("certifikát ještě není platný");
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
        reason = QStringLiteral("certifikát patří jinému jménu než %1").arg(FImpl->Settings.Domain);
        break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        reason = QStringLiteral("neznámý vydavatel");
        break;
    case X509_V_ERR_CERT_REVOKED:
        reason = QStringLiteral("certifikát byl zneplatněn");
        break;
    default:
        reason = QStringLiteral("chyba ověření (%1)")
                     .arg(QString::fromLatin1(X509_verify_cert_error_string(code)));
    }
    return UntrustedPrefix + reason;
}

const char* TTlsEngine::Output(size_t& Length) const {
    Length = FImpl->Queues.Out.Size();
    return FImpl->Queues.Out.Data();
}

void TTlsEngine::Sent(size_t Length) {
    FImpl->Queues.Out.Take(Length);
}

bool TTlsEngine::HasOutput() const {
    return FImpl->Queues.Out.Size() > 0;
}

size_t TTlsEngine::ReadPlain(char* Data, size_t Size) {
    size_t done = 0;
    while (FState == TState::Ready && done < Size) {
        ERR_clear_error();
        size_t got = 0;
        if (SSL_read_ex(FImpl->Ssl, Data + done, Size - done, &got) == 1) {
            done += got;
            continue;
        }
        const int error = SSL_get_error(FImpl->Ssl, 0);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            break;
        if (error == SSL_ERROR_ZERO_RETURN)
            FState = TState::Closed;
        else
            Fail(QStringLiteral("Šifrované spojení bylo porušeno: %1").arg(OpenSslErrors()));
    }
    return done;
}

void TTlsEngine::WritePlain(const char* Data, size_t Length) {
    if (FState != TState::Ready || Length == 0)
        return;
    ERR_clear_error();
    size_t written = 0;
    // The output queue never refuses bytes, so one call takes everything.
    if (SSL_write_ex(FImpl->Ssl, Data, Length, &written) != 1 || written != Length)
        Fail(QStringLiteral("Šifrované spojení bylo porušeno: %1").arg(OpenSslErrors()));
}

QString TTlsEngine::Protocol() const {
    if (FState != TState::Ready)
        return {};
    return QString::fromLatin1(SSL_get_version(FImpl->Ssl));
}

void TTlsEngine::Fail(const QString& Reason) {
    FState = TState::Failed;
    FFailure = Reason;
}

QByteArray TTlsEngine::ParseFingerprint(const QString& Text) {
    QByteArray hex;
    for (const QChar c : Text) {
        if (c == u':' || c == u' ')
            continue;
        const char16_t u = c.toLower().unicode();
        if (!(u >= u'0' && u <= u'9') && !(u >= u'a' && u <= u'f'))
            return {};
        hex += char(c.toLatin1());
    }
    if (hex.size() != 64)
        return {};
    return QByteArray::fromHex(hex);
}
