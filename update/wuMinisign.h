#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

// Ed25519 signatures in the minisign format, as the publisher makes them with
// "minisign -S". Only verification lives here, on libsodium.

// A public key: the text of a minisign public-key file, or its key line alone.
struct TwuMinisignPublicKey {
    std::array<std::uint8_t, 8> KeyId{};
    std::array<std::uint8_t, 32> Key{};

    // nullopt for anything that is not exactly one well-formed Ed25519 key.
    static std::optional<TwuMinisignPublicKey> Parse(const QByteArray& text);
};

// The four lines of a ".minisig" file.
struct TwuMinisignSignature {
    bool Prehashed = false; // "ED": the file's BLAKE2b-512 hash is signed; "Ed": the file itself
    std::array<std::uint8_t, 8> KeyId{};
    std::array<std::uint8_t, 64> Signature{};
    QByteArray TrustedComment; // the text after "trusted comment: ", UTF-8
    std::array<std::uint8_t, 64> GlobalSignature{};

    // nullopt for a malformed signature file.
    static std::optional<TwuMinisignSignature> Parse(const QByteArray& text);
};

// Whether the file at path is signed by the key with this signature, and the
// trusted comment is the one the key signed with it. Reads the file in pieces
// for a prehashed signature; a legacy one needs the whole file in memory.
bool wuMinisignVerifyFile(const TwuMinisignPublicKey& key, const TwuMinisignSignature& signature,
                          const QString& path);
