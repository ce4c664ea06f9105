#include "KeychainPasswordStore.h"

#include <qt6keychain/keychain.h>

namespace {

const QString kService = QStringLiteral("velora");

TPasswordStore::TResult ResultOf(const QKeychain::Job& job) {
    TPasswordStore::TResult result;
    switch (job.error()) {
    case QKeychain::NoError:
        result.Status = TPasswordStore::TStatus::Done;
        break;
    case QKeychain::EntryNotFound:
        result.Status = TPasswordStore::TStatus::NotFound;
        break;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        result.Status = TPasswordStore::TStatus::Unavailable;
        break;
    default:
        result.Status = TPasswordStore::TStatus::Failed;
        break;
    }
    if (result.Status != TPasswordStore::TStatus::Done)
        result.Error = job.errorString();
    return result;
}

// Starts the job and hands its outcome to done; the job deletes itself.
void Run(QObject* owner, QKeychain::Job* job, const QString& account,
         const TPasswordStore::TDone& done) {
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(account);
    QObject::connect(job, &QKeychain::Job::finished, owner, [done](QKeychain::Job* finished) {
        TPasswordStore::TResult result = ResultOf(*finished);
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(finished);
            read && result.Status == TPasswordStore::TStatus::Done)
            result.Password = read->textData();
        // Removing what is not there leaves the store as asked.
        if (qobject_cast<QKeychain::DeletePasswordJob*>(finished) &&
            result.Status == TPasswordStore::TStatus::NotFound)
            result = {TPasswordStore::TStatus::Done, {}, {}};
        if (done)
            done(result);
    });
    job->start();
}

} // namespace

TKeychainPasswordStore::TKeychainPasswordStore(QObject* parent) : QObject(parent) {}

void TKeychainPasswordStore::Read(const QString& account, TDone done) {
    Run(this, new QKeychain::ReadPasswordJob(kService, this), account, done);
}

void TKeychainPasswordStore::Write(const QString& account, const QString& password, TDone done) {
    auto* job = new QKeychain::WritePasswordJob(kService, this);
    job->setTextData(password);
    Run(this, job, account, done);
}

void TKeychainPasswordStore::Remove(const QString& account, TDone done) {
    Run(this, new QKeychain::DeletePasswordJob(kService, this), account, done);
}
