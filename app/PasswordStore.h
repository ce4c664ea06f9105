#pragma once

#include <QString>
#include <functional>

// The desktop's secret store, holding one password per user address. Every
// operation returns at once; its outcome arrives later, on the GUI thread.
class TPasswordStore {
public:
    enum class TStatus {
        Done,        // read, stored or removed
        NotFound,    // nothing is stored for the address
        Unavailable, // the desktop runs no secret store
        Failed,      // the store refused or failed; Error says why
    };
    struct TResult {
        TStatus Status = TStatus::Failed;
        QString Password; // what Read found
        QString Error;    // the store's own words, for Unavailable and Failed
    };
    using TDone = std::function<void(const TResult& result)>;

    virtual ~TPasswordStore() = default;

    virtual void Read(const QString& account, TDone done) = 0;
    virtual void Write(const QString& account, const QString& password, TDone done) = 0;
    // Removing what is not there is Done too.
    virtual void Remove(const QString& account, TDone done) = 0;
};
