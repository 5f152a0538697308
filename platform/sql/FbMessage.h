#pragma once

// Private to platform/sql: the layout of an input or output message, its null
// flags, and reading and writing its columns as QVariant values or packet
// cells. The conversions of the values themselves are in FbConvert.

#include "FbApi.h"

#include "platform/types/FieldDefs.h"

#include <QVariant>

class TPacketRowAppender;

#include <cstdint>
#include <memory>
#include <vector>

namespace fb {

struct Column
{
    unsigned Type = 0; // SQL_* without the nullable bit
    int SubType = 0;
    int Scale = 0;
    unsigned Length = 0; // bytes of the data (without the VARCHAR length word)
    unsigned Offset = 0;
    unsigned NullOffset = 0;
    unsigned CharSet = 0;
    bool Nullable = true;
    QString Alias;
    QString Relation;
    QString Field;

    int BytesPerChar() const;
    // Characters of CHAR/VARCHAR.
    int CharLength() const { return int(Length) / BytesPerChar(); }
    QString TypeName() const;
};

// One message: its metadata, its column layout and a buffer reused by every
// execution or fetch.
class Message
{
public:
    // Takes over `meta` (one reference). Names come in the connection's character set.
    void Describe(Status& st, Firebird::IMessageMetadata* meta, const Codec& names);
    void Reset();

    Firebird::IMessageMetadata* Metadata() const { return m_meta.Get(); }
    unsigned char* Buffer() { return reinterpret_cast<unsigned char*>(m_buffer.get()); }
    const unsigned char* Buffer() const { return reinterpret_cast<const unsigned char*>(m_buffer.get()); }
    int Count() const { return int(m_columns.size()); }
    const Column& At(int i) const { return m_columns[size_t(i)]; }

    bool IsNull(int i) const;

private:
    Ref<Firebird::IMessageMetadata> m_meta;
    std::vector<Column> m_columns;
    std::unique_ptr<std::uint64_t[]> m_buffer; // 8-byte aligned as the offsets assume
};

// What conversions need besides the buffer: text and blobs of the attachment.
struct ValueContext
{
    Status* St = nullptr;
    Firebird::IAttachment* Attachment = nullptr;
    Firebird::ITransaction* Transaction = nullptr;
    const Codec* ConnectionCodec = nullptr;
};

// Value of column i of an output message (a null QVariant for NULL). Blobs are read whole.
QVariant ReadValue(const Message& msg, int i, const ValueContext& ctx);

// Column i of an output message (not NULL) into `field` of a packet row, for
// the usual pairs of column and field type; false leaves the value to the
// general conversion (ReadValue, then TPacketRowAppender::SetValue), which
// also words the errors.
bool ReadCell(const Message& msg, int i, TPacketRowAppender& row, int field);

// Stores `value` into column i of an input message, converted to the column's
// type; raises EDatabaseError naming `paramName` when it does not convert or fit.
void WriteValue(Message& msg, int i, const QVariant& value, const ValueContext& ctx,
                const QString& paramName);

// Field type, size and scale of an output column; precision < 0 when unknown.
TFieldDef FieldDefOf(const Column& c, int precision);

} // namespace fb
