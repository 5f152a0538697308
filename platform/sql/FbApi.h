#pragma once

// Private to platform/sql: the Firebird object API behind a status wrapper that
// raises EDatabaseError with the engine's own text, and one RAII holder for the
// reference-counted interfaces.

#include "platform/types/Exception.h"

#include <firebird/Interface.h>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cstdint>
#include <utility>
#include <vector>

namespace fb {

Firebird::IMaster* Master();
Firebird::IUtil* Util();
Firebird::IProvider* Provider();

// The engine's message for a status vector, lines joined by '\n'.
QString FormatStatus(const Firebird::IStatus* status);

// Status wrapper whose failing calls raise EDatabaseError with the engine text.
// The wrapper is clean again after the raise, so one instance serves many calls.
class Status : public Firebird::BaseStatusWrapper<Status>
{
public:
    Status() : BaseStatusWrapper(Master()->getStatus()) {}
    ~Status() { dispose(); }
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

    static void checkException(Status* status)
    {
        if (status->dirty && (status->getState() & Firebird::IStatus::STATE_ERRORS))
            status->Raise();
    }

    [[noreturn]] void Raise();
};

// Owns one reference of an object-API interface. Terminal calls that end the
// object on success (commit, detach, close, free) hand over with Forget().
template <class T>
class Ref
{
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {}
    ~Ref() { Reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        if (this != &o) {
            Reset();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }

    void Reset(T* p = nullptr)
    {
        if (m_p)
            m_p->release();
        m_p = p;
    }
    void Forget() { m_p = nullptr; }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Parameter buffer builder (DPB, TPB) that is disposed, not released.
class Xpb
{
public:
    explicit Xpb(unsigned kind);
    ~Xpb();
    Xpb(const Xpb&) = delete;
    Xpb& operator=(const Xpb&) = delete;
    Firebird::IXpbBuilder* operator->() const { return m_xpb; }
    std::vector<unsigned char> Bytes();
    unsigned Length();
    const unsigned char* Buffer();

private:
    Status m_status;
    Firebird::IXpbBuilder* m_xpb = nullptr;
};

// Text of the connection's character set.
class Codec
{
public:
    // Raises EDatabaseError for a character set this client cannot convert.
    static Codec ForCharSet(const QString& name);

    QString Decode(const char* data, qsizetype size) const;
    QByteArray Encode(const QString& text) const;
    int MaxBytesPerChar() const { return m_bytesPerChar; }

private:
    enum class Kind { Latin1, Utf8, Named };
    Kind m_kind = Kind::Latin1;
    int m_bytesPerChar = 1;
    QStringConverter::Encoding m_encoding = QStringConverter::Latin1;
    QByteArray m_name;
};

// Reads a whole blob; writes one in segments.
QByteArray ReadBlob(Status& st, Firebird::IAttachment* att, Firebird::ITransaction* tra,
                    const ISC_QUAD& id);
ISC_QUAD WriteBlob(Status& st, Firebird::IAttachment* att, Firebird::ITransaction* tra,
                   const QByteArray& data);

} // namespace fb

// The attachment of a TSQLConnection, shared with its data sets.
struct FbAttachmentState
{
    fb::Ref<Firebird::IAttachment> Attachment;
    // Changes with every attach; prepared statements of an older one are void.
    std::uint64_t Generation = 0;
    unsigned Dialect = 3;
    fb::Codec Codec;
    // read committed, record versions, wait, read/write
    std::vector<unsigned char> StatementTpb;
    // Plain SELECTs read in a read-only read-committed transaction, which the
    // engine starts as committed: closing the result set costs no write.
    std::vector<unsigned char> ReadTpb;
    // "RELATION.FIELD" -> declared precision of scaled numeric columns
    QHash<QString, int> Precisions;
    // The transaction started by StartTransaction: while it runs, every
    // statement of the connection runs in it and nothing commits on its own.
    fb::Ref<Firebird::ITransaction> Explicit;
};
