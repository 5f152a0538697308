#pragma once

#include <QByteArray>
#include <QString>

// Ed25519 signatures of self-update installers, through OpenSSL.
//
// A signature file (the installer's name with ".sig" appended) is one line of
// text:
//
//     ed25519 PUBLIC-KEY SIGNATURE
//
// both fields base64: the signer's 32-byte public key and the 64-byte
// signature of the installer's bytes (pure Ed25519, no pre-hash). Naming the
// key lets the client tell a release signed with another key from a file
// altered after signing; only the client's own key is ever trusted.
namespace InstallerSignature {

constexpr int kPublicKeySize = 32;
constexpr int kSignatureSize = 64;
// A signature line is about 150 bytes; anything much longer is not one.
constexpr qint64 kMaxSignatureFile = 4096;

enum class TVerdict
{
    Valid,
    Malformed,  // not a signature line
    OtherKey,   // a sound line, but signed with another key
    Altered,    // signed with this key, but not these bytes
    Unreadable, // the installer could not be read
};

// The raw key from its base64 text (blanks around it ignored); empty when the
// text is not exactly 32 bytes of base64.
QByteArray DecodePublicKey(const QString& text);

// Checks `installer` against a signature line and the trusted raw public key.
// `detail` gets what the verdict is about (the other key, the system's reason).
TVerdict Verify(const QString& installer, const QByteArray& signatureLine, const QByteArray& publicKey,
                QString* detail = nullptr);

// The signing side, used by kelt-sign.
struct TKeyPair
{
    QByteArray PrivatePem; // PKCS#8 PEM, unencrypted
    QByteArray PublicKey;  // raw 32 bytes
};
// Empty members when OpenSSL could not make a key.
TKeyPair GenerateKeyPair();
// The raw public key of a PEM private key; empty when it is not an Ed25519 key.
QByteArray PublicKeyOf(const QByteArray& privatePem);
// The signature line of `installer` (with its line break); empty with `error`
// set when the key or the file cannot be used.
QByteArray Sign(const QString& installer, const QByteArray& privatePem, QString& error);

} // namespace InstallerSignature
