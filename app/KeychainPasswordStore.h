#pragma once

#include "PasswordStore.h"

#include <QObject>

// The password store on the desktop's Secret Service (or KWallet) through
// QtKeychain, under the service name "velora". Nothing is ever written to a
// file of ours: QtKeychain's plain-text fallback stays off.
class TKeychainPasswordStore : public QObject, public TPasswordStore {
public:
    explicit TKeychainPasswordStore(QObject* parent = nullptr);

    void Read(const QString& account, TDone done) override;
    void Write(const QString& account, const QString& password, TDone done) override;
    void Remove(const QString& account, TDone done) override;
};
