#include "InstallerSignature.h"

#include <QFile>
#include <QList>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace InstallerSignature {

namespace {

struct TPkeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct TMdCtxFree
{
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct TPkeyCtxFree
{
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct TBioFree
{
    void operator()(BIO* p) const { BIO_free(p); }
};
using TPkey = std::unique_ptr<EVP_PKEY, TPkeyFree>;
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdCtxFree>;
using TBio = std::unique_ptr<BIO, TBioFree>;

const QByteArray kTag = "ed25519";

// Strict base64: only a text that decodes to exactly `size` bytes.
QByteArray DecodeExact(const QByteArray& text, int size)
{
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return {};
    return decoded.decoded;
}

// The installer's bytes, mapped rather than copied: it may be hundreds of MiB.
class TMappedFile
{
public:
    explicit TMappedFile(const QString& path) : m_file(path) {}
    bool Open(QString& error)
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            error = m_file.errorString();
            return false;
        }
        if (m_file.size() == 0)
            return true;
        m_data = m_file.map(0, m_file.size());
        if (!m_data) {
            error = m_file.errorString();
            return false;
        }
        return true;
    }
    const unsigned char* Data() const { return m_data ? m_data : reinterpret_cast<const unsigned char*>(""); }
    size_t Size() const { return size_t(m_file.size()); }

private:
    QFile m_file;
    uchar* m_data = nullptr;
};

QString OpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code)
        return QStringLiteral("OpenSSL error");
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

QByteArray DecodePublicKey(const QString& text)
{
    return DecodeExact(text.trimmed().toLatin1(), kPublicKeySize);
}

TVerdict Verify(const QString& installer, const QByteArray& signatureLine, const QByteArray& publicKey, QString* detail)
{
    const QList<QByteArray> fields = signatureLine.simplified().split(' ');
    const QByteArray signer = fields.size() == 3 && fields[0] == kTag ? DecodeExact(fields[1], kPublicKeySize)
                                                                     : QByteArray();
    const QByteArray signature = signer.isEmpty() ? QByteArray() : DecodeExact(fields[2], kSignatureSize);
    if (signature.isEmpty())
        return TVerdict::Malformed;
    if (signer != publicKey) {
        if (detail)
            *detail = QString::fromLatin1(fields[1]);
        return TVerdict::OtherKey;
    }
    QString error;
    TMappedFile file(installer);
    if (!file.Open(error)) {
        if (detail)
            *detail = error;
        return TVerdict::Unreadable;
    }
    const TPkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                reinterpret_cast<const unsigned char*>(publicKey.constData()),
                                                size_t(publicKey.size())));
    const TMdCtx ctx(EVP_MD_CTX_new());
    // Ed25519 hashes internally: no digest is named.
    const bool valid = key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1
                       && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                                           size_t(signature.size()), file.Data(), file.Size())
                              == 1;
    ERR_clear_error();
    return valid ? TVerdict::Valid : TVerdict::Altered;
}

TKeyPair GenerateKeyPair()
{
    const std::unique_ptr<EVP_PKEY_CTX, TPkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
        return {};
    const TPkey key(raw);
    const TBio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* pem = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &pem);
    const QByteArray privatePem(pem, length);
    return {privatePem, PublicKeyOf(privatePem)};
}

namespace {

TPkey ReadPrivateKey(const QByteArray& privatePem)
{
    const TBio bio(BIO_new_mem_buf(privatePem.constData(), int(privatePem.size())));
    TPkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return {};
    return key;
}

} // namespace

QByteArray PublicKeyOf(const QByteArray& privatePem)
{
    const TPkey key = ReadPrivateKey(privatePem);
    QByteArray raw(kPublicKeySize, '\0');
    size_t length = size_t(raw.size());
    if (!key || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &length) != 1
        || length != size_t(kPublicKeySize))
        return {};
    return raw;
}

QByteArray Sign(const QString& installer, const QByteArray& privatePem, QString& error)
{
    const TPkey key = ReadPrivateKey(privatePem);
    if (!key) {
        error = QStringLiteral("not an Ed25519 private key in PEM form");
        return {};
    }
    TMappedFile file(installer);
    if (!file.Open(error))
        return {};
    if (file.Size() == 0) {
        error = QStringLiteral("the installer is empty");
        return {};
    }
    QByteArray signature(kSignatureSize, '\0');
    size_t length = size_t(signature.size());
    const TMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1
        || EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, file.Data(),
                          file.Size())
               != 1
        || length != size_t(kSignatureSize)) {
        error = OpenSslError();
        return {};
    }
    return kTag + ' ' + PublicKeyOf(privatePem).toBase64() + ' ' + signature.toBase64() + '\n';
}

} // namespace InstallerSignature
