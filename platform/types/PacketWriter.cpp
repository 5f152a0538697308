// TDataPacket::ToXml: the XML data packet text, written straight from the
// columns into one growing buffer.

#include "DataPacket.h"

#include "PacketStore.h"

#include <charconv>

using namespace packet;

namespace {

class Writer
{
public:
    explicit Writer(qsizetype estimate) { Grow(estimate < 4096 ? 4096 : estimate); }

    char* Room(qsizetype n)
    {
        if (m_pos + n > m_buf.size())
            Grow(m_pos + n);
        return m_buf.data() + m_pos;
    }
    void Advance(qsizetype n) { m_pos += n; }
    void Put(char c) { *Room(1) = c, ++m_pos; }
    void Put(const char* s, qsizetype n)
    {
        std::memcpy(Room(n), s, size_t(n));
        m_pos += n;
    }
    template <qsizetype N>
    void Lit(const char (&s)[N])
    {
        Put(s, N - 1);
    }
    void Put(QByteArrayView s) { Put(s.data(), s.size()); }

    void Int(qint64 v)
    {
        char* p = Room(24);
        m_pos += std::to_chars(p, p + 24, v).ptr - p;
    }
    // `n` digits, zero-padded.
    static char* Digits(char* p, unsigned v, int n)
    {
        for (int i = n - 1; i >= 0; --i) {
            p[i] = char('0' + v % 10);
            v /= 10;
        }
        return p + n;
    }

    QByteArray Take()
    {
        m_buf.truncate(m_pos);
        return std::move(m_buf);
    }

private:
    void Grow(qsizetype needed)
    {
        qsizetype c = m_buf.size() + m_buf.size() / 2;
        m_buf.resize(c < needed ? needed : c);
    }

    QByteArray m_buf;
    qsizetype m_pos = 0;
};

// Attribute text: markup characters and the white space that attribute
// normalisation would fold into blanks go as references.
void PutEscapedUtf8(Writer& w, const char* s, qsizetype n)
{
    for (qsizetype i = 0; i < n; ++i) {
        const char c = s[i];
        switch (c) {
        case '&': w.Lit("&amp;"); break;
        case '<': w.Lit("&lt;"); break;
        case '>': w.Lit("&gt;"); break;
        case '"': w.Lit("&quot;"); break;
        case '\t': w.Lit("&#9;"); break;
        case '\n': w.Lit("&#10;"); break;
        case '\r': w.Lit("&#13;"); break;
        default: w.Put(c);
        }
    }
}

void PutEscapedUtf16(Writer& w, const char16_t* s, qsizetype n)
{
    // Worst case per UTF-16 unit: 6 bytes ("&quot;").
    char* p = w.Room(n * 6);
    char* const begin = p;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = s[i];
        if (c < 0x80) {
            switch (c) {
            case u'&': std::memcpy(p, "&amp;", 5), p += 5; break;
            case u'<': std::memcpy(p, "&lt;", 4), p += 4; break;
            case u'>': std::memcpy(p, "&gt;", 4), p += 4; break;
            case u'"': std::memcpy(p, "&quot;", 6), p += 6; break;
            case u'\t': std::memcpy(p, "&#9;", 4), p += 4; break;
            case u'\n': std::memcpy(p, "&#10;", 5), p += 5; break;
            case u'\r': std::memcpy(p, "&#13;", 5), p += 5; break;
            default: *p++ = char(c);
            }
        } else if (c < 0x800) {
            *p++ = char(0xC0 | (c >> 6));
            *p++ = char(0x80 | (c & 0x3F));
        } else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(s[i + 1])) {
            const char32_t u = QChar::surrogateToUcs4(c, s[i + 1]);
            ++i;
            *p++ = char(0xF0 | (u >> 18));
            *p++ = char(0x80 | ((u >> 12) & 0x3F));
            *p++ = char(0x80 | ((u >> 6) & 0x3F));
            *p++ = char(0x80 | (u & 0x3F));
        } else {
            // Unpaired surrogates never get into a packet (AppendRow refuses
            // them); U+FFFD keeps the output valid should one appear anyway.
            const char16_t u = QChar::isSurrogate(c) ? char16_t(0xFFFD) : c;
            *p++ = char(0xE0 | (u >> 12));
            *p++ = char(0x80 | ((u >> 6) & 0x3F));
            *p++ = char(0x80 | (u & 0x3F));
        }
    }
    w.Advance(p - begin);
}

void PutBase64(Writer& w, const char* s, qsizetype n)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* p = w.Room((n + 2) / 3 * 4);
    char* const begin = p;
    const auto* u = reinterpret_cast<const uchar*>(s);
    qsizetype i = 0;
    for (; i + 3 <= n; i += 3) {
        const quint32 v = (quint32(u[i]) << 16) | (quint32(u[i + 1]) << 8) | u[i + 2];
        p[0] = kAlphabet[v >> 18];
        p[1] = kAlphabet[(v >> 12) & 63];
        p[2] = kAlphabet[(v >> 6) & 63];
        p[3] = kAlphabet[v & 63];
        p += 4;
    }
    if (n - i == 1) {
        const quint32 v = quint32(u[i]) << 16;
        p[0] = kAlphabet[v >> 18];
        p[1] = kAlphabet[(v >> 12) & 63];
        p[2] = '=';
        p[3] = '=';
        p += 4;
    } else if (n - i == 2) {
        const quint32 v = (quint32(u[i]) << 16) | (quint32(u[i + 1]) << 8);
        p[0] = kAlphabet[v >> 18];
        p[1] = kAlphabet[(v >> 12) & 63];
        p[2] = kAlphabet[(v >> 6) & 63];
        p[3] = '=';
        p += 4;
    }
    w.Advance(p - begin);
}

void PutDecimal(Writer& w, qint64 units, int scale)
{
    char digits[24];
    const bool negative = units < 0;
    quint64 mag = negative ? quint64(0) - quint64(units) : quint64(units);
    int n = 0;
    do {
        digits[n++] = char('0' + mag % 10);
        mag /= 10;
    } while (mag);
    while (n <= scale)
        digits[n++] = '0';
    char* p = w.Room(n + 2);
    char* const begin = p;
    if (negative)
        *p++ = '-';
    for (int i = n - 1; i >= 0; --i) {
        *p++ = digits[i];
        if (i == scale && scale > 0)
            *p++ = '.';
    }
    w.Advance(p - begin);
}

char* PutDate(char* p, qint64 jd)
{
    int y, m, d;
    CivilFromJulianDay(jd, y, m, d);
    p = Writer::Digits(p, unsigned(y), 4);
    p = Writer::Digits(p, unsigned(m), 2);
    return Writer::Digits(p, unsigned(d), 2);
}

char* PutTime(char* p, qint64 ms)
{
    p = Writer::Digits(p, unsigned(ms / 3600000), 2);
    *p++ = ':';
    p = Writer::Digits(p, unsigned(ms / 60000 % 60), 2);
    *p++ = ':';
    p = Writer::Digits(p, unsigned(ms / 1000 % 60), 2);
    return Writer::Digits(p, unsigned(ms % 1000), 3);
}

const char* PacketType(TFieldType t)
{
    switch (t) {
    case TFieldType::ftSmallint: return "i2";
    case TFieldType::ftInteger: return "i4";
    case TFieldType::ftLargeint: return "i8";
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: return "string";
    case TFieldType::ftFMTBcd: return "fixed";
    case TFieldType::ftDate: return "date";
    case TFieldType::ftTime: return "time";
    case TFieldType::ftTimeStamp: return "dateTime";
    case TFieldType::ftMemo:
    case TFieldType::ftBlob: return "bin.hex";
    case TFieldType::ftUnknown: break;
    }
    return "";
}

void PutMetadata(Writer& w, const TFieldDefs& fields)
{
    w.Lit("<METADATA><FIELDS>");
    for (const TFieldDef& f : fields) {
        w.Lit("\n<FIELD attrname=\"");
        const QByteArray name = f.Name.toUtf8();
        PutEscapedUtf8(w, name.data(), name.size());
        w.Lit("\" fieldtype=\"");
        w.Put(QByteArrayView(PacketType(f.DataType)));
        w.Put('"');
        const bool text = f.DataType == TFieldType::ftString || f.DataType == TFieldType::ftFixedChar;
        if ((text || f.DataType == TFieldType::ftFMTBcd) && f.Size > 0) {
            w.Lit(" WIDTH=\"");
            w.Int(f.Size);
            w.Put('"');
        }
        if (f.DataType == TFieldType::ftFMTBcd) {
            w.Lit(" DECIMALS=\"");
            w.Int(f.Scale);
            w.Put('"');
        }
        if (f.DataType == TFieldType::ftFixedChar)
            w.Lit(" SUBTYPE=\"FixedChar\"");
        else if (f.DataType == TFieldType::ftMemo)
            w.Lit(" SUBTYPE=\"Text\"");
        else if (f.DataType == TFieldType::ftBlob)
            w.Lit(" SUBTYPE=\"Binary\"");
        if (f.Required)
            w.Lit(" required=\"true\"");
        if (f.ReadOnly)
            w.Lit(" readonly=\"true\"");
        if (f.ProviderFlags != 0) {
            w.Lit("><PARAM Name=\"PROVFLAGS\" Value=\"");
            w.Int(f.ProviderFlags);
            w.Lit("\" Type=\"i4\"/></FIELD>");
        } else {
            w.Lit("/>");
        }
    }
    w.Lit("\n</FIELDS><PARAMS/></METADATA>");
}

} // namespace

QByteArray TDataPacket::ToXml() const
{
    static const TFieldDefs noFields;
    const TFieldDefs& fields = d ? d->fields : noFields;
    CheckFieldDefs(fields);
    const qsizetype rows = d ? d->rows : 0;

    // A rough size so that the buffer rarely grows: names plus ~12 bytes a value.
    qsizetype estimate = 512 + fields.size() * 80;
    std::vector<QByteArray> prefixes; // ` NAME="` per field
    prefixes.reserve(size_t(fields.size()));
    qsizetype rowEstimate = 16;
    for (int i = 0; i < fields.size(); ++i) {
        prefixes.push_back(' ' + fields[i].Name.toUtf8() + "=\"");
        rowEstimate += prefixes.back().size() + 12;
        if (d->columns[size_t(i)].kind == Kind::Text)
            estimate += d->columns[size_t(i)].chars.Size() * 11 / 10;
        else if (d->columns[size_t(i)].kind == Kind::Bytes)
            estimate += d->columns[size_t(i)].bytes.Size() * 4 / 3;
    }
    Writer w(estimate + rows * rowEstimate);
    w.Lit("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<DATAPACKET Version=\"2.0\">");
    PutMetadata(w, fields);
    w.Lit("\n<ROWDATA>");
    for (qsizetype r = 0; r < rows; ++r) {
        w.Lit("\n<ROW");
        for (size_t f = 0; f < prefixes.size(); ++f) {
            const Column& c = d->columns[f];
            if (!c.IsPresent(r))
                continue;
            w.Put(prefixes[f]);
            const qint64 n = c.nums[r];
            switch (fields[int(f)].DataType) {
            case TFieldType::ftSmallint:
            case TFieldType::ftInteger:
            case TFieldType::ftLargeint: w.Int(n); break;
            case TFieldType::ftFMTBcd: PutDecimal(w, n, fields[int(f)].Scale); break;
            case TFieldType::ftDate: {
                char* p = w.Room(8);
                w.Advance(PutDate(p, n) - p);
                break;
            }
            case TFieldType::ftTime: {
                char* p = w.Room(12);
                w.Advance(PutTime(p, n) - p);
                break;
            }
            case TFieldType::ftTimeStamp: {
                const qint64 days = n >= 0 ? n / kMsPerDay : -((-n + kMsPerDay - 1) / kMsPerDay);
                char* p = w.Room(21);
                char* const begin = p;
                p = PutDate(p, days + kEpochJulianDay);
                *p++ = 'T';
                p = PutTime(p, n - days * kMsPerDay);
                w.Advance(p - begin);
                break;
            }
            case TFieldType::ftString:
            case TFieldType::ftFixedChar: {
                const qint64 start = c.Start(r);
                PutEscapedUtf16(w, c.chars.Data() + start, qsizetype(n - start));
                break;
            }
            case TFieldType::ftMemo:
            case TFieldType::ftBlob: {
                const qint64 start = c.Start(r);
                PutBase64(w, c.bytes.Data() + start, qsizetype(n - start));
                break;
            }
            case TFieldType::ftUnknown: break;
            }
            w.Put('"');
        }
        w.Lit("/>");
    }
    w.Lit("\n</ROWDATA></DATAPACKET>\n");
    return w.Take();
}
