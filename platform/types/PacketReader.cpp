// TDataPacket::FromXml: a strict reader for the one XML vocabulary of the data
// packet, working on the UTF-8 bytes. It accepts only well-formed XML (tags
// nested and matched, attributes quoted and unique, references and characters
// valid, UTF-8 valid) and refuses the whole packet at the first fault.
// Rows are decoded straight into the column store; the predictable attribute
// order of a row makes the field lookup a single comparison in the usual case.

#include "DataPacket.h"

#include "PacketStore.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

using namespace packet;

namespace {

constexpr int kMaxDepth = 256;

inline bool IsWs(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

struct CharClasses
{
    bool nameStart[256] = {};
    bool name[256] = {};
    // Bytes an attribute value cannot take as they are: quotes (one of them ends
    // the value), markup, references and control characters.
    bool valueSpecial[256] = {};
    constexpr CharClasses()
    {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            nameStart[c] = letter || c == '_' || c == ':' || c >= 0x80;
            name[c] = nameStart[c] || (c >= '0' && c <= '9') || c == '-' || c == '.';
            valueSpecial[c] = c < 0x20 || c == '"' || c == '\'' || c == '<' || c == '&';
        }
    }
};
constexpr CharClasses kClass;

inline bool IsNameStart(char c) { return kClass.nameStart[uchar(c)]; }
inline bool IsNameChar(char c) { return kClass.name[uchar(c)]; }

inline bool IsXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Strict UTF-8 to UTF-16 (no overlong forms, surrogates or values past
// U+10FFFF; U+FFFE and U+FFFF are not XML characters). `out` must have room
// for `e - s` units. Returns the units written, or -1 on invalid input;
// `codePoints` receives the character count.
qsizetype DecodeUtf8(const char* s, const char* e, char16_t* out, qsizetype& codePoints)
{
    const auto* p = reinterpret_cast<const uchar*>(s);
    const auto* end = reinterpret_cast<const uchar*>(e);
    char16_t* o = out;
    qsizetype extra = 0; // UTF-16 units beyond one per character
    while (p < end) {
        while (end - p >= 8) {
            quint64 w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL)
                break;
            for (int i = 0; i < 8; ++i)
                o[i] = p[i];
            o += 8;
            p += 8;
        }
        if (p >= end)
            break;
        const uchar c = *p;
        if (c < 0x80) {
            *o++ = c;
            ++p;
            continue;
        }
        char32_t u;
        int n;
        uchar lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            u = c & 0x1F;
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            u = c & 0x0F;
            n = 2;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            u = c & 0x07;
            n = 3;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return -1;
        }
        if (end - p <= n)
            return -1;
        if (p[1] < lo || p[1] > hi)
            return -1;
        for (int i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return -1;
            u = (u << 6) | (p[i] & 0x3F);
        }
        p += n + 1;
        if (u >= 0x10000) {
            *o++ = QChar::highSurrogate(u);
            *o++ = QChar::lowSurrogate(u);
            ++extra;
        } else {
            if (u == 0xFFFE || u == 0xFFFF)
                return -1;
            *o++ = char16_t(u);
        }
    }
    codePoints = (o - out) - extra;
    return o - out;
}

bool ValidUtf8(const char* s, const char* e)
{
    const char* p = s;
    while (p < e && uchar(*p) < 0x80)
        ++p;
    if (p == e)
        return true;
    // Small texts only (names, metadata, comments); rows never come here.
    std::u16string buf(size_t(e - s), u'\0');
    qsizetype cp;
    return DecodeUtf8(s, e, buf.data(), cp) >= 0;
}

struct Decode64Table
{
    signed char v[256] = {};
    constexpr Decode64Table()
    {
        for (int i = 0; i < 256; ++i)
            v[i] = -1;
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            v[uchar(a[i])] = char(i);
    }
};
constexpr Decode64Table kB64;

// Strict base64 (padded, no white space) into `out`; false on anything else.
bool DecodeBase64(const char* s, const char* e, PodBuffer<char>& out)
{
    const qsizetype n = e - s;
    if (n % 4 != 0)
        return false;
    if (n == 0)
        return true;
    const int pad = s[n - 1] == '=' ? (s[n - 2] == '=' ? 2 : 1) : 0;
    const auto* p = reinterpret_cast<const uchar*>(s);
    char* o = out.Extend(n / 4 * 3 - pad);
    const qsizetype full = (n / 4) - (pad ? 1 : 0);
    for (qsizetype i = 0; i < full; ++i, p += 4) {
        const int a = kB64.v[p[0]], b = kB64.v[p[1]], c = kB64.v[p[2]], d = kB64.v[p[3]];
        if ((a | b | c | d) < 0)
            return false;
        const quint32 v = (quint32(a) << 18) | (quint32(b) << 12) | (quint32(c) << 6) | quint32(d);
        *o++ = char(v >> 16);
        *o++ = char(v >> 8);
        *o++ = char(v);
    }
    if (pad) {
        const int a = kB64.v[p[0]], b = kB64.v[p[1]];
        const int c = pad == 1 ? kB64.v[p[2]] : 0;
        if ((a | b | c) < 0)
            return false;
        const quint32 v = (quint32(a) << 18) | (quint32(b) << 12) | (quint32(c) << 6);
        // Bits below the last byte must be zero, or the text was not canonical.
        if (pad == 2 ? (v & 0xFFFF) != 0 : (v & 0xFF) != 0)
            return false;
        *o++ = char(v >> 16);
        if (pad == 1)
            *o++ = char(v >> 8);
    }
    return true;
}

inline bool Digits(const char* p, int n, int& value)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned d = unsigned(uchar(p[i])) - '0';
        if (d > 9)
            return false;
        v = v * 10 + int(d);
    }
    value = v;
    return true;
}

bool ParseInteger(const char* p, const char* e, qint64 lo, qint64 hi, qint64& out)
{
    bool negative = false;
    if (p < e && *p == '-') {
        negative = true;
        ++p;
    }
    if (p == e)
        return false;
    // Accumulate negatively so that the smallest value parses too.
    qint64 v = 0;
    for (; p < e; ++p) {
        const unsigned d = unsigned(uchar(*p)) - '0';
        if (d > 9)
            return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_sub_overflow(v, qint64(d), &v))
            return false;
    }
    if (!negative) {
        if (v == std::numeric_limits<qint64>::min())
            return false;
        v = -v;
    }
    if (v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool ParseFixed(const char* p, const char* e, int scale, qint64& out)
{
    bool negative = false;
    if (p < e && *p == '-') {
        negative = true;
        ++p;
    }
    qint64 v = 0;
    int intDigits = 0;
    for (; p < e && *p != '.'; ++p, ++intDigits) {
        const unsigned d = unsigned(uchar(*p)) - '0';
        if (d > 9 || __builtin_mul_overflow(v, 10, &v) || __builtin_sub_overflow(v, qint64(d), &v))
            return false;
    }
    if (intDigits == 0)
        return false;
    int decimals = 0;
    if (p < e) {
        ++p; // '.'
        if (p == e)
            return false;
        for (; p < e; ++p, ++decimals) {
            const unsigned d = unsigned(uchar(*p)) - '0';
            if (d > 9 || decimals == scale || __builtin_mul_overflow(v, 10, &v) ||
                __builtin_sub_overflow(v, qint64(d), &v))
                return false;
        }
    }
    for (; decimals < scale; ++decimals)
        if (__builtin_mul_overflow(v, 10, &v))
            return false;
    if (!negative) {
        if (v == std::numeric_limits<qint64>::min())
            return false;
        v = -v;
    }
    out = v;
    return true;
}

bool ParseDate(const char* p, qint64& jd)
{
    int y, m, d;
    if (!Digits(p, 4, y) || !Digits(p + 4, 2, m) || !Digits(p + 6, 2, d) || !ValidCivilDate(y, m, d))
        return false;
    jd = JulianDayFromCivil(y, m, d);
    return true;
}

bool ParseTime(const char* p, qint64& ms)
{
    int h, m, s, z;
    if (!Digits(p, 2, h) || p[2] != ':' || !Digits(p + 3, 2, m) || p[5] != ':' || !Digits(p + 6, 2, s) ||
        !Digits(p + 8, 3, z) || h > 23 || m > 59 || s > 59)
        return false;
    ms = ((qint64(h) * 60 + m) * 60 + s) * 1000 + z;
    return true;
}

struct FieldInfo
{
    std::string name; // UTF-8, as rows spell the attribute
    TFieldType type = TFieldType::ftUnknown;
    int width = 0;
    int scale = 0;
};

class Reader
{
public:
    explicit Reader(QByteArrayView xml) : m_begin(xml.data()), m_p(xml.data()), m_end(xml.data() + xml.size()) {}

    packet::Store Parse();

private:
    struct Attr
    {
        QByteArrayView name;
        const char* value;
        const char* valueEnd;
        bool plain;
    };
    struct Tag
    {
        const char* at = nullptr;
        QByteArrayView name;
        std::vector<Attr> attrs;
        bool empty = false;
    };

    [[noreturn]] void Fail(const char* at, const QString& what) const;
    [[noreturn]] void FailEnd() const { Fail(m_end, QStringLiteral("the text ends before the packet does")); }
    [[noreturn]] void BadValue(int field, qsizetype row, const char* b, const char* e, const QString& expected) const;

    bool Peek(std::string_view s) const
    {
        return m_end - m_p >= qsizetype(s.size()) && std::memcmp(m_p, s.data(), s.size()) == 0;
    }
    void SkipWs()
    {
        while (m_p < m_end && IsWs(*m_p))
            ++m_p;
    }
    QByteArrayView ReadName();
    void ReadAttrValue(Attr& a);
    std::string_view Normalized(const char* b, const char* e);
    QString Text(const Attr& a);
    const Attr* Find(const Tag& t, std::string_view name) const;

    void ReadStartTag(Tag& t);
    void ReadEndTag(QByteArrayView name);
    void SkipComment();
    void SkipPI();
    void SkipMisc(bool inProlog);
    void ExpectElementOrEnd();
    void SkipContent(QByteArrayView name, int depth);
    void CheckCharData(const char* b, const char* e);

    void ParseXmlDeclaration();
    void ParseMetadata(const Tag& t);
    void ParseFields(const Tag& t);
    void ParseField(const Tag& t);
    void ParseRowData(const Tag& t);
    void ParseRow();
    void ParseValue(int field, qsizetype row, const char* b, const char* e);
    int Lookup(QByteArrayView name) const;

    const char* m_begin;
    const char* m_p;
    const char* m_end;
    std::string m_scratch;
    TFieldDefs m_defs;
    std::vector<FieldInfo> m_info;
    std::unordered_map<std::string_view, int> m_byName;
    std::unique_ptr<packet::Store> m_data;
};

void Reader::Fail(const char* at, const QString& what) const
{
    qsizetype line = 1;
    const char* lineStart = m_begin;
    for (const char* p = m_begin; p < at; ++p)
        if (*p == '\n') {
            ++line;
            lineStart = p + 1;
        }
    throw EPacketError(QStringLiteral("Invalid data packet: %1 (line %2, column %3)")
                           .arg(what)
                           .arg(line)
                           .arg(at - lineStart + 1));
}

void Reader::BadValue(int field, qsizetype row, const char* b, const char* e, const QString& expected) const
{
    QString shown = QString::fromUtf8(b, qMin<qsizetype>(e - b, 40));
    if (e - b > 40)
        shown += u"...";
    throw EPacketError(QStringLiteral("Invalid data packet: row %1, field '%2': '%3' is not %4")
                           .arg(row + 1)
                           .arg(m_defs[field].Name, shown, expected));
}

QByteArrayView Reader::ReadName()
{
    const char* b = m_p;
    if (m_p >= m_end)
        FailEnd();
    if (!IsNameStart(*m_p))
        Fail(m_p, QStringLiteral("a name was expected"));
    while (m_p < m_end && IsNameChar(*m_p))
        ++m_p;
    if (!ValidUtf8(b, m_p))
        Fail(b, QStringLiteral("the name is not valid UTF-8"));
    return QByteArrayView(b, m_p - b);
}

void Reader::ReadAttrValue(Attr& a)
{
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '=')
        Fail(m_p, QStringLiteral("'=' expected after attribute %1").arg(QString::fromUtf8(a.name)));
    ++m_p;
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    const char q = *m_p;
    if (q != '"' && q != '\'')
        Fail(m_p, QStringLiteral("the value of attribute %1 is not quoted").arg(QString::fromUtf8(a.name)));
    a.value = ++m_p;
    a.plain = true;
    for (;; ++m_p) {
        if (m_p >= m_end)
            FailEnd();
        const char c = *m_p;
        if (!kClass.valueSpecial[uchar(c)])
            continue;
        if (c == q)
            break;
        if (c == '<')
            Fail(m_p, QStringLiteral("'<' in the value of attribute %1").arg(QString::fromUtf8(a.name)));
        if (c != '"' && c != '\'')
            a.plain = false;
    }
    a.valueEnd = m_p++;
}

// An attribute value after reference replacement and white-space
// normalisation (literal tab, CR, LF and CR LF each become one blank).
std::string_view Reader::Normalized(const char* b, const char* e)
{
    m_scratch.clear();
    for (const char* p = b; p < e; ++p) {
        const char c = *p;
        if (c == '&') {
            const char* semi = static_cast<const char*>(std::memchr(p, ';', size_t(qMin<qsizetype>(e - p, 12))));
            if (!semi)
                Fail(p, QStringLiteral("'&' that starts no reference"));
            const std::string_view ref(p + 1, size_t(semi - p - 1));
            if (ref == "lt")
                m_scratch += '<';
            else if (ref == "gt")
                m_scratch += '>';
            else if (ref == "amp")
                m_scratch += '&';
            else if (ref == "quot")
                m_scratch += '"';
            else if (ref == "apos")
                m_scratch += '\'';
            else if (ref.size() >= 2 && ref[0] == '#') {
                const bool hex = ref[1] == 'x';
                const std::string_view digits = ref.substr(hex ? 2 : 1);
                char32_t v = 0;
                bool ok = !digits.empty() && digits.size() <= 8;
                for (char d : digits) {
                    int n;
                    if (d >= '0' && d <= '9')
                        n = d - '0';
                    else if (hex && d >= 'a' && d <= 'f')
                        n = d - 'a' + 10;
                    else if (hex && d >= 'A' && d <= 'F')
                        n = d - 'A' + 10;
                    else {
                        ok = false;
                        break;
                    }
                    v = v * (hex ? 16 : 10) + char32_t(n);
                }
                if (!ok || !IsXmlChar(v))
                    Fail(p, QStringLiteral("invalid character reference '&%1;'")
                                .arg(QString::fromUtf8(ref.data(), qsizetype(ref.size()))));
                AppendUtf8(m_scratch, v);
            } else {
                Fail(p, QStringLiteral("unknown entity '&%1;'").arg(QString::fromUtf8(ref.data(), qsizetype(ref.size()))));
            }
            p = semi;
        } else if (c == '\r') {
            m_scratch += ' ';
            if (p + 1 < e && p[1] == '\n')
                ++p;
        } else if (c == '\n' || c == '\t') {
            m_scratch += ' ';
        } else if (uchar(c) < 0x20) {
            Fail(p, QStringLiteral("control character %1 in an attribute value").arg(int(c)));
        } else {
            m_scratch += c;
        }
    }
    return m_scratch;
}

QString Reader::Text(const Attr& a)
{
    const std::string_view v = a.plain ? std::string_view(a.value, size_t(a.valueEnd - a.value))
                                       : Normalized(a.value, a.valueEnd);
    if (!ValidUtf8(v.data(), v.data() + v.size()))
        Fail(a.value, QStringLiteral("the value of attribute %1 is not valid UTF-8").arg(QString::fromUtf8(a.name)));
    return QString::fromUtf8(v.data(), qsizetype(v.size()));
}

const Reader::Attr* Reader::Find(const Tag& t, std::string_view name) const
{
    for (const Attr& a : t.attrs)
        if (a.name == QByteArrayView(name.data(), qsizetype(name.size())))
            return &a;
    return nullptr;
}

// At '<' of a start tag; reads up to and including '>' or '/>'.
void Reader::ReadStartTag(Tag& t)
{
    t.at = m_p;
    ++m_p;
    t.name = ReadName();
    t.attrs.clear();
    for (;;) {
        const char* before = m_p;
        SkipWs();
        if (m_p >= m_end)
            FailEnd();
        if (*m_p == '>') {
            ++m_p;
            t.empty = false;
            break;
        }
        if (*m_p == '/') {
            if (m_p + 1 >= m_end)
                FailEnd();
            if (m_p[1] != '>')
                Fail(m_p, QStringLiteral("'/>' expected"));
            m_p += 2;
            t.empty = true;
            break;
        }
        if (m_p == before)
            Fail(m_p, QStringLiteral("white space expected before attribute"));
        Attr a;
        a.name = ReadName();
        ReadAttrValue(a);
        // Values are checked even when nobody reads them: the packet must be well-formed.
        const std::string_view v = a.plain ? std::string_view(a.value, size_t(a.valueEnd - a.value))
                                           : Normalized(a.value, a.valueEnd);
        if (!ValidUtf8(v.data(), v.data() + v.size()))
            Fail(a.value, QStringLiteral("the value of attribute %1 is not valid UTF-8").arg(QString::fromUtf8(a.name)));
        for (const Attr& other : t.attrs)
            if (other.name == a.name)
                Fail(a.name.data(), QStringLiteral("attribute %1 appears twice in <%2>")
                                        .arg(QString::fromUtf8(a.name), QString::fromUtf8(t.name)));
        t.attrs.push_back(a);
    }
}

// At "</".
void Reader::ReadEndTag(QByteArrayView name)
{
    const char* at = m_p;
    m_p += 2;
    const QByteArrayView got = ReadName();
    SkipWs();
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '>')
        Fail(m_p, QStringLiteral("'>' expected"));
    ++m_p;
    if (got != name)
        Fail(at, QStringLiteral("</%1> does not close <%2>").arg(QString::fromUtf8(got), QString::fromUtf8(name)));
}

void Reader::SkipComment()
{
    const char* at = m_p;
    m_p += 4;
    for (;;) {
        const char* dash = static_cast<const char*>(std::memchr(m_p, '-', size_t(m_end - m_p)));
        if (!dash || m_end - dash < 3)
            FailEnd();
        if (dash[1] == '-') {
            if (dash[2] != '>')
                Fail(dash, QStringLiteral("'--' inside a comment"));
            CheckCharData(at + 4, dash);
            m_p = dash + 3;
            return;
        }
        m_p = dash + 1;
    }
}

void Reader::SkipPI()
{
    const char* at = m_p;
    m_p += 2;
    const QByteArrayView target = ReadName();
    if (target.size() == 3 && QByteArrayView("xml").compare(target, Qt::CaseInsensitive) == 0)
        Fail(at, QStringLiteral("an XML declaration is only allowed at the very start"));
    const QByteArrayView rest(m_p, m_end - m_p);
    const qsizetype close = rest.indexOf("?>");
    if (close < 0)
        FailEnd();
    if (close > 0 && !IsWs(*m_p))
        Fail(m_p, QStringLiteral("white space expected after the processing instruction's name"));
    CheckCharData(m_p, m_p + close);
    m_p += close + 2;
}

// Characters of comments and instructions: valid UTF-8, XML characters only.
void Reader::CheckCharData(const char* b, const char* e)
{
    for (const char* p = b; p < e; ++p)
        if (uchar(*p) < 0x20 && !IsWs(*p))
            Fail(p, QStringLiteral("control character %1").arg(int(*p)));
    if (!ValidUtf8(b, e))
        Fail(b, QStringLiteral("text that is not valid UTF-8"));
}

// White space, comments and processing instructions between elements.
void Reader::SkipMisc(bool inProlog)
{
    for (;;) {
        SkipWs();
        if (Peek("<!--"))
            SkipComment();
        else if (Peek("<?"))
            SkipPI();
        else if (inProlog && Peek("<!DOCTYPE"))
            Fail(m_p, QStringLiteral("a document type declaration is not accepted in a data packet"));
        else
            return;
    }
}

// After SkipMisc inside an element of the packet: there must be a tag now.
void Reader::ExpectElementOrEnd()
{
    if (m_p >= m_end)
        FailEnd();
    if (*m_p != '<')
        Fail(m_p, QStringLiteral("text is not allowed here"));
    if (Peek("<![CDATA["))
        Fail(m_p, QStringLiteral("text is not allowed here"));
    if (Peek("<!"))
        Fail(m_p, QStringLiteral("markup declarations are not accepted"));
}

// Any well-formed content up to the end tag of `name` (parameters of the packet
// that this program does not use).
void Reader::SkipContent(QByteArrayView name, int depth)
{
    if (depth > kMaxDepth)
        Fail(m_p, QStringLiteral("elements nested too deeply"));
    for (;;) {
        const char* textStart = m_p;
        while (m_p < m_end && *m_p != '<')
            ++m_p;
        if (m_p > textStart) {
            const std::string_view text(textStart, size_t(m_p - textStart));
            if (text.find("]]>") != std::string_view::npos)
                Fail(textStart, QStringLiteral("']]>' in text"));
            const std::string_view n = Normalized(textStart, m_p);
            if (!ValidUtf8(n.data(), n.data() + n.size()))
                Fail(textStart, QStringLiteral("text that is not valid UTF-8"));
        }
        if (m_p >= m_end)
            FailEnd();
        if (Peek("</")) {
            ReadEndTag(name);
            return;
        }
        if (Peek("<!--")) {
            SkipComment();
        } else if (Peek("<?")) {
            SkipPI();
        } else if (Peek("<![CDATA[")) {
            const QByteArrayView rest(m_p + 9, m_end - m_p - 9);
            const qsizetype close = rest.indexOf("]]>");
            if (close < 0)
                FailEnd();
            CheckCharData(m_p + 9, m_p + 9 + close);
            m_p += 9 + close + 3;
        } else if (Peek("<!")) {
            Fail(m_p, QStringLiteral("markup declarations are not accepted"));
        } else {
            Tag child;
            ReadStartTag(child);
            if (!child.empty)
                SkipContent(child.name, depth + 1);
        }
    }
}

void Reader::ParseXmlDeclaration()
{
    const char* at = m_p;
    m_p += 5;
    Tag decl;
    // Pseudo-attributes, read like attributes of a tag that ends in "?>".
    for (;;) {
        const char* before = m_p;
        SkipWs();
        if (Peek("?>")) {
            m_p += 2;
            break;
        }
        if (m_p >= m_end)
            FailEnd();
        if (m_p == before)
            Fail(m_p, QStringLiteral("malformed XML declaration"));
        Attr a;
        a.name = ReadName();
        ReadAttrValue(a);
        decl.attrs.push_back(a);
    }
    static const char* const kOrder[] = {"version", "encoding", "standalone"};
    int next = 0;
    for (const Attr& a : decl.attrs) {
        int which = -1;
        for (int i = next; i < 3 && which < 0; ++i)
            if (a.name == QByteArrayView(kOrder[i]))
                which = i;
        if (which < 0 || (next == 0 && which != 0))
            Fail(at, QStringLiteral("malformed XML declaration"));
        next = which + 1;
        const QString v = Text(a);
        if (which == 0 && !(v.startsWith(u"1.") && v.size() > 2 &&
                            std::all_of(v.begin() + 2, v.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })))
            Fail(a.value, QStringLiteral("XML version %1 is not supported").arg(v));
        if (which == 1 && v.compare(u"UTF-8", Qt::CaseInsensitive) != 0)
            Fail(a.value, QStringLiteral("encoding %1 is not accepted; data packets are UTF-8").arg(v));
        if (which == 2 && v != u"yes" && v != u"no")
            Fail(a.value, QStringLiteral("malformed XML declaration"));
    }
    if (next == 0)
        Fail(at, QStringLiteral("the XML declaration has no version"));
}

packet::Store Reader::Parse()
{
    if (m_begin == m_end)
        throw EPacketError(QStringLiteral("Invalid data packet: the text is empty"));
    if (Peek("\xEF\xBB\xBF"))
        m_p += 3;
    if (Peek("<?xml") && m_end - m_p > 5 && (IsWs(m_p[5]) || m_p[5] == '?'))
        ParseXmlDeclaration();
    SkipMisc(true);
    if (m_p >= m_end)
        Fail(m_p, QStringLiteral("there is no DATAPACKET element"));
    if (*m_p != '<' || Peek("<!"))
        Fail(m_p, QStringLiteral("text before the DATAPACKET element"));
    Tag root;
    ReadStartTag(root);
    if (root.name != "DATAPACKET")
        Fail(root.at, QStringLiteral("the document is a <%1>, not a DATAPACKET").arg(QString::fromUtf8(root.name)));
    bool metadata = false;
    bool rowdata = false;
    if (!root.empty) {
        for (;;) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (Peek("</")) {
                ReadEndTag(root.name);
                break;
            }
            Tag t;
            ReadStartTag(t);
            if (t.name == "METADATA" && !metadata) {
                ParseMetadata(t);
                metadata = true;
            } else if (t.name == "ROWDATA" && metadata && !rowdata) {
                ParseRowData(t);
                rowdata = true;
            } else {
                Fail(t.at, QStringLiteral("unexpected <%1> in DATAPACKET").arg(QString::fromUtf8(t.name)));
            }
        }
    }
    if (!metadata)
        Fail(root.at, QStringLiteral("the packet has no METADATA"));
    SkipMisc(false);
    if (m_p < m_end)
        Fail(m_p, QStringLiteral("content after the end of the DATAPACKET element"));
    if (!m_data)
        return packet::Store(m_defs);
    return std::move(*m_data);
}

void Reader::ParseMetadata(const Tag& t)
{
    bool fields = false;
    bool params = false;
    if (!t.empty) {
        for (;;) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (Peek("</")) {
                ReadEndTag(t.name);
                break;
            }
            Tag c;
            ReadStartTag(c);
            if (c.name == "FIELDS" && !fields) {
                ParseFields(c);
                fields = true;
            } else if (c.name == "PARAMS" && !params) {
                if (!c.empty)
                    SkipContent(c.name, 1);
                params = true;
            } else {
                Fail(c.at, QStringLiteral("unexpected <%1> in METADATA").arg(QString::fromUtf8(c.name)));
            }
        }
    }
    if (!fields)
        Fail(t.at, QStringLiteral("METADATA has no FIELDS"));
}

void Reader::ParseFields(const Tag& t)
{
    if (!t.empty) {
        for (;;) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (Peek("</")) {
                ReadEndTag(t.name);
                break;
            }
            Tag c;
            ReadStartTag(c);
            if (c.name != "FIELD")
                Fail(c.at, QStringLiteral("unexpected <%1> in FIELDS").arg(QString::fromUtf8(c.name)));
            ParseField(c);
        }
    }
    for (size_t i = 0; i < m_info.size(); ++i)
        m_byName.emplace(m_info[i].name, int(i));
}

void Reader::ParseField(const Tag& t)
{
    TFieldDef def;
    FieldInfo info;
    const Attr* name = Find(t, "attrname");
    const Attr* type = Find(t, "fieldtype");
    if (!name)
        Fail(t.at, QStringLiteral("a FIELD has no attrname"));
    def.Name = Text(*name);
    const QString fieldName = def.Name;
    info.name = def.Name.toStdString();
    if (!IsXmlName(QByteArrayView(info.name.data(), qsizetype(info.name.size()))))
        Fail(name->value, QStringLiteral("field name '%1' cannot name a row attribute").arg(fieldName));
    for (const TFieldDef& other : std::as_const(m_defs))
        if (other.Name.compare(def.Name, Qt::CaseInsensitive) == 0)
            Fail(t.at, QStringLiteral("field '%1' is defined twice").arg(fieldName));
    if (!type)
        Fail(t.at, QStringLiteral("field '%1' has no fieldtype").arg(fieldName));

    auto number = [&](const char* attr, int max) -> std::optional<int> {
        const Attr* a = Find(t, attr);
        if (!a)
            return std::nullopt;
        const QString v = Text(*a);
        bool ok = false;
        const int n = v.toInt(&ok);
        if (!ok || n < 0 || n > max || v.startsWith(u'+'))
            Fail(a->value, QStringLiteral("%1 of field '%2' is not a valid number: '%3'").arg(QLatin1String(attr), fieldName, v));
        return n;
    };
    auto flag = [&](const char* attr) -> bool {
        const Attr* a = Find(t, attr);
        if (!a)
            return false;
        const QString v = Text(*a);
        if (v != u"true" && v != u"false")
            Fail(a->value, QStringLiteral("%1 of field '%2' must be true or false, not '%3'").arg(QLatin1String(attr), fieldName, v));
        return v == u"true";
    };

    const QString ft = Text(*type);
    const Attr* subtypeAttr = Find(t, "SUBTYPE");
    const QString subtype = subtypeAttr ? Text(*subtypeAttr) : QString();
    auto badSubtype = [&]() {
        Fail(subtypeAttr->value, QStringLiteral("field '%1' has unknown SUBTYPE '%2'").arg(fieldName, subtype));
    };
    if (ft == u"i2" || ft == u"i4" || ft == u"i8") {
        def.DataType = ft == u"i2" ? TFieldType::ftSmallint : ft == u"i4" ? TFieldType::ftInteger : TFieldType::ftLargeint;
    } else if (ft == u"string") {
        def.DataType = TFieldType::ftString;
        if (subtypeAttr) {
            if (subtype != u"FixedChar")
                badSubtype();
            def.DataType = TFieldType::ftFixedChar;
        }
        def.Size = number("WIDTH", 32767).value_or(0);
    } else if (ft == u"fixed") {
        def.DataType = TFieldType::ftFMTBcd;
        def.Size = number("WIDTH", 18).value_or(0);
        def.Scale = number("DECIMALS", 18).value_or(0);
    } else if (ft == u"date") {
        def.DataType = TFieldType::ftDate;
    } else if (ft == u"time") {
        def.DataType = TFieldType::ftTime;
    } else if (ft == u"dateTime") {
        def.DataType = TFieldType::ftTimeStamp;
    } else if (ft == u"bin.hex") {
        def.DataType = TFieldType::ftBlob;
        if (subtypeAttr) {
            if (subtype == u"Text")
                def.DataType = TFieldType::ftMemo;
            else if (subtype != u"Binary")
                badSubtype();
        }
    } else {
        Fail(type->value, QStringLiteral("field '%1' has unknown fieldtype '%2'").arg(fieldName, ft));
    }
    def.Required = flag("required");
    def.ReadOnly = flag("readonly");

    if (!t.empty) {
        bool provFlags = false;
        for (;;) {
            SkipMisc(false);
            ExpectElementOrEnd();
            if (Peek("</")) {
                ReadEndTag(t.name);
                break;
            }
            Tag c;
            ReadStartTag(c);
            if (c.name != "PARAM")
                Fail(c.at, QStringLiteral("unexpected <%1> in field '%2'").arg(QString::fromUtf8(c.name), fieldName));
            if (!c.empty) {
                SkipMisc(false);
                ExpectElementOrEnd();
                if (!Peek("</"))
                    Fail(m_p, QStringLiteral("unexpected element in a PARAM of field '%1'").arg(fieldName));
                ReadEndTag(c.name);
            }
            const Attr* pn = Find(c, "Name");
            if (!pn || Text(*pn) != u"PROVFLAGS")
                continue; // other field parameters carry nothing this program uses
            const Attr* pv = Find(c, "Value");
            const QString v = pv ? Text(*pv) : QString();
            bool ok = false;
            const int n = v.toInt(&ok);
            if (provFlags || !ok || n < 0 || n > 7 || v.startsWith(u'+'))
                Fail(c.at, QStringLiteral("field '%1' has invalid PROVFLAGS '%2'").arg(fieldName, v));
            def.ProviderFlags = TProviderFlags(n);
            provFlags = true;
        }
    }
    info.type = def.DataType;
    info.width = def.Size;
    info.scale = def.Scale;
    m_defs.append(std::move(def));
    m_info.push_back(std::move(info));
}

int Reader::Lookup(QByteArrayView name) const
{
    const auto it = m_byName.find(std::string_view(name.data(), size_t(name.size())));
    return it == m_byName.end() ? -1 : it->second;
}

void Reader::ParseRowData(const Tag& t)
{
    m_data = std::make_unique<packet::Store>(m_defs);
    if (t.empty)
        return;
    // Count the rows ahead so that the number columns never reallocate; only
    // a hint (a "<ROW" inside a comment counts too), and bounded by the text.
    qsizetype rows = 0;
    for (const char* p = m_p;;) {
        p = static_cast<const char*>(memmem(p, size_t(m_end - p), "<ROW", 4));
        if (!p)
            break;
        ++rows;
        p += 4;
    }
    if (rows * qsizetype(m_info.size()) * 8 <= (m_end - m_p) * 4)
        for (auto& c : m_data->columns)
            c.Reserve(rows);

    for (;;) {
        while (m_p < m_end && IsWs(*m_p))
            ++m_p;
        if (m_end - m_p < 5)
            FailEnd();
        if (m_p[0] != '<')
            Fail(m_p, QStringLiteral("text is not allowed here"));
        if (m_p[1] == 'R' && m_p[2] == 'O' && m_p[3] == 'W' && (IsWs(m_p[4]) || m_p[4] == '/' || m_p[4] == '>')) {
            m_p += 4;
            ParseRow();
        } else if (m_p[1] == '/') {
            ReadEndTag(t.name);
            return;
        } else if (Peek("<!--")) {
            SkipComment();
        } else if (Peek("<?")) {
            SkipPI();
        } else {
            ExpectElementOrEnd();
            Tag c;
            ReadStartTag(c);
            Fail(c.at, QStringLiteral("unexpected <%1> in ROWDATA").arg(QString::fromUtf8(c.name)));
        }
    }
}

// After "<ROW": the attributes, then "/>" or ">" ... "</ROW>".
void Reader::ParseRow()
{
    packet::Store& data = *m_data;
    const qsizetype row = data.rows;
    if (row >= std::numeric_limits<int>::max())
        Fail(m_p, QStringLiteral("too many rows"));
    data.OpenRow();
    const int fieldCount = int(m_info.size());
    int next = 0;
    for (;;) {
        const char* before = m_p;
        while (m_p < m_end && IsWs(*m_p))
            ++m_p;
        if (m_p >= m_end)
            FailEnd();
        const char c = *m_p;
        if (c == '/') {
            if (m_p + 1 >= m_end)
                FailEnd();
            if (m_p[1] != '>')
                Fail(m_p, QStringLiteral("'/>' expected"));
            m_p += 2;
            return;
        }
        if (c == '>') {
            ++m_p;
            SkipMisc(false);
            ExpectElementOrEnd();
            if (!Peek("</"))
                Fail(m_p, QStringLiteral("unexpected element inside ROW %1").arg(row + 1));
            ReadEndTag("ROW");
            return;
        }
        if (m_p == before)
            Fail(m_p, QStringLiteral("white space expected before attribute"));
        const char* nameBegin = m_p;
        if (!IsNameStart(c))
            Fail(m_p, QStringLiteral("an attribute name was expected"));
        while (m_p < m_end && IsNameChar(*m_p))
            ++m_p;
        const QByteArrayView name(nameBegin, m_p - nameBegin);

        int f = -1;
        if (next < fieldCount) {
            const std::string& expected = m_info[size_t(next)].name;
            if (qsizetype(expected.size()) == name.size() && std::memcmp(expected.data(), nameBegin, expected.size()) == 0)
                f = next;
        }
        if (f < 0)
            f = Lookup(name);
        Attr a{name, nullptr, nullptr, true};
        ReadAttrValue(a);
        if (f < 0) {
            if (!ValidUtf8(name.data(), name.data() + name.size()))
                Fail(nameBegin, QStringLiteral("the name is not valid UTF-8"));
            if (!a.plain)
                Normalized(a.value, a.valueEnd); // a malformed value is the first fault
            throw EPacketError(QStringLiteral("Invalid data packet: row %1 has attribute '%2', which names no field")
                                   .arg(row + 1)
                                   .arg(QString::fromUtf8(name)));
        }
        next = f + 1;
        if (data.columns[size_t(f)].IsPresent(row))
            Fail(nameBegin, QStringLiteral("attribute %1 appears twice in row %2").arg(QString::fromUtf8(name)).arg(row + 1));
        if (a.plain) {
            ParseValue(f, row, a.value, a.valueEnd);
        } else {
            const std::string_view v = Normalized(a.value, a.valueEnd);
            ParseValue(f, row, v.data(), v.data() + v.size());
        }
    }
}

void Reader::ParseValue(int f, qsizetype row, const char* b, const char* e)
{
    const FieldInfo& info = m_info[size_t(f)];
    packet::Column& col = m_data->columns[size_t(f)];
    const qsizetype n = e - b;
    qint64 v = 0;
    switch (info.type) {
    case TFieldType::ftSmallint:
        if (!ParseInteger(b, e, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max(), v))
            BadValue(f, row, b, e, QStringLiteral("an i2 integer"));
        break;
    case TFieldType::ftInteger:
        if (!ParseInteger(b, e, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max(), v))
            BadValue(f, row, b, e, QStringLiteral("an i4 integer"));
        break;
    case TFieldType::ftLargeint:
        if (!ParseInteger(b, e, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max(), v))
            BadValue(f, row, b, e, QStringLiteral("an i8 integer"));
        break;
    case TFieldType::ftFMTBcd:
        if (!ParseFixed(b, e, info.scale, v))
            BadValue(f, row, b, e, QStringLiteral("a decimal with at most %1 decimals").arg(info.scale));
        break;
    case TFieldType::ftDate:
        if (n != 8 || !ParseDate(b, v))
            BadValue(f, row, b, e, QStringLiteral("a date (YYYYMMDD)"));
        break;
    case TFieldType::ftTime:
        if (n != 11 || !ParseTime(b, v))
            BadValue(f, row, b, e, QStringLiteral("a time (HH:MM:SSmmm)"));
        break;
    case TFieldType::ftTimeStamp: {
        qint64 jd, ms;
        if (n != 20 || b[8] != 'T' || !ParseDate(b, jd) || !ParseTime(b + 9, ms))
            BadValue(f, row, b, e, QStringLiteral("a date and time (YYYYMMDDTHH:MM:SSmmm)"));
        v = (jd - kEpochJulianDay) * kMsPerDay + ms;
        break;
    }
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: {
        char16_t* out = col.chars.Extend(n);
        qsizetype codePoints = 0;
        const qsizetype units = DecodeUtf8(b, e, out, codePoints);
        if (units < 0)
            BadValue(f, row, b, e, QStringLiteral("valid UTF-8 text"));
        col.chars.Truncate(col.chars.Size() - n + units);
        if (info.width > 0 && codePoints > info.width)
            BadValue(f, row, b, e, QStringLiteral("a string of at most %1 characters").arg(info.width));
        if (info.type == TFieldType::ftFixedChar && codePoints < info.width) {
            const qsizetype pad = info.width - codePoints;
            char16_t* p = col.chars.Extend(pad);
            for (qsizetype i = 0; i < pad; ++i)
                p[i] = u' ';
        }
        v = col.chars.Size();
        break;
    }
    case TFieldType::ftMemo:
    case TFieldType::ftBlob: {
        const qsizetype start = col.bytes.Size();
        if (!DecodeBase64(b, e, col.bytes))
            BadValue(f, row, b, e, QStringLiteral("base64 text"));
        if (info.type == TFieldType::ftMemo && !ValidUtf8(col.bytes.Data() + start, col.bytes.Data() + col.bytes.Size()))
            BadValue(f, row, b, e, QStringLiteral("base64 of UTF-8 text"));
        v = col.bytes.Size();
        break;
    }
    case TFieldType::ftUnknown: break;
    }
    col.nums[row] = v;
    col.SetPresent(row);
}

} // namespace

TDataPacket TDataPacket::FromXml(QByteArrayView xml)
{
    TDataPacket result;
    result.d = std::make_shared<Data>(Reader(xml).Parse());
    return result;
}
