#pragma once

#include "PasswordStore.h"

#include <QMap>
#include <QStringList>
#include <deque>

// A password store that keeps its passwords in memory and records what it
// was asked. With Hold set, answers wait until Release.
class TRecordingPasswordStore : public TPasswordStore {
public:
    QMap<QString, QString> Stored;
    bool Available = true;
    QString FailWrites; // non-empty: every write fails with this error
    bool Hold = false;
    QStringList Asked; // "read <account>", "write <account> <password>", "remove <account>"

    void Read(const QString& account, TDone done) override {
        Asked << QStringLiteral("read ") + account;
        TResult result{TStatus::NotFound, {}, {}};
        if (!Available)
            result = {TStatus::Unavailable, {}, QStringLiteral("No backend")};
        else if (Stored.contains(account))
            result = {TStatus::Done, Stored.value(account), {}};
        Answer(std::move(done), result);
    }
    void Write(const QString& account, const QString& password, TDone done) override {
        Asked << QStringLiteral("write %1 %2").arg(account, password);
        if (!FailWrites.isEmpty())
            return Answer(std::move(done), {TStatus::Failed, {}, FailWrites});
        Stored[account] = password;
        Answer(std::move(done), {TStatus::Done, {}, {}});
    }
    void Remove(const QString& account, TDone done) override {
        Asked << QStringLiteral("remove ") + account;
        Stored.remove(account);
        Answer(std::move(done), {TStatus::Done, {}, {}});
    }

    void Release() {
        Hold = false;
        while (!FPending.empty()) {
            auto [done, result] = std::move(FPending.front());
            FPending.pop_front();
            done(result);
        }
    }

private:
    void Answer(TDone done, const TResult& result) {
        if (Hold)
            FPending.emplace_back(std::move(done), result);
        else
            done(result);
    }

    std::deque<std::pair<TDone, TResult>> FPending;
};
