#include "JsonCodec.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QStringDecoder>
#include <QVariant>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <optional>
#include <cstring>
#include <memory>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace wire {

namespace {

inline bool IsSpecial(uchar c) { return c == '"' || c == '\\' || c < 0x20; }

#ifdef __SSE2__
// Bit i set where byte i of the block is '"', '\\' or a control character.
inline int SpecialMask(__m128i b)
{
    const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('"')),
                                                      _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'))),
                                         _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8(0x1f)), b));
    return _mm_movemask_epi8(special);
}
#endif

// Moves `p` to the first '"', '\\' or control character before `end` (or to `end`),
// noting any byte past ASCII. With `out`, the bytes passed over are copied there too;
// `out` must have 16 bytes to spare beyond them, as whole blocks are stored.
template <bool Copy>
inline const char* Run(const char* p, const char* end, char*& out, bool& ascii)
{
    int high = 0;
#ifdef __SSE2__
    for (; end - p >= 16; p += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if constexpr (Copy)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), b);
        if (const int mask = SpecialMask(b)) {
            const int k = std::countr_zero(unsigned(mask));
            high |= _mm_movemask_epi8(b) & ((1 << k) - 1);
            ascii = ascii && !high;
            if constexpr (Copy)
                out += k;
            return p + k;
        }
        high |= _mm_movemask_epi8(b);
        if constexpr (Copy)
            out += 16;
    }
#endif
    for (; p < end && !IsSpecial(uchar(*p)); ++p) {
        high |= uchar(*p) & 0x80;
        if constexpr (Copy)
            *out++ = *p;
    }
    ascii = ascii && !high;
    return p;
}

// A leading U+FEFF is text here, not a byte order mark.
std::optional<QString> DecodeUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char* PutUtf8(char* o, char32_t c)
{
    if (c < 0x80) {
        *o++ = char(c);
    } else if (c < 0x800) {
        *o++ = char(0xc0 | (c >> 6));
        *o++ = char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        *o++ = char(0xe0 | (c >> 12));
        *o++ = char(0x80 | ((c >> 6) & 0x3f));
        *o++ = char(0x80 | (c & 0x3f));
    } else {
        *o++ = char(0xf0 | (c >> 18));
        *o++ = char(0x80 | ((c >> 12) & 0x3f));
        *o++ = char(0x80 | ((c >> 6) & 0x3f));
        *o++ = char(0x80 | (c & 0x3f));
    }
    return o;
}

class TParser
{
public:
    TParser(QByteArrayView text, quint64 unusedAnswerArgs, std::optional<QByteArray>* answerValueUtf8,
            TUtf8Strings* longParams)
        : m_begin(text.data()), m_p(m_begin), m_end(m_begin + text.size()), m_unusedArgs(unusedAnswerArgs),
          m_valueUtf8(answerValueUtf8), m_longParams(longParams)
    {
        if (m_valueUtf8)
            m_valueUtf8->reset();
        if (m_longParams)
            m_longParams->clear();
    }

    QJsonValue Document()
    {
        SkipSpace();
        QJsonValue v = Value(0);
        SkipSpace();
        if (m_p != m_end)
            Fail("unexpected data after the JSON text");
        return v;
    }

private:
    [[noreturn]] void Fail(const char* what, const char* at = nullptr) const
    {
        throw EProtocolError(QStringLiteral("%1 at byte %2").arg(QLatin1StringView(what)).arg((at ? at : m_p) - m_begin));
    }

    void SkipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    bool Take(char c)
    {
        SkipSpace();
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }

    QJsonValue Value(int depth)
    {
        if (m_p == m_end)
            Fail("unexpected end of text");
        switch (*m_p) {
        case '{': return Object(depth + 1);
        case '[': return Array(depth + 1);
        case '"': return String();
        case 't': Literal("true"); return true;
        case 'f': Literal("false"); return false;
        case 'n': Literal("null"); return QJsonValue(QJsonValue::Null);
        default:
            if (*m_p != '-' && !IsDigit(*m_p))
                Fail("invalid value");
            return Number();
        }
    }

    void Literal(std::string_view word)
    {
        if (m_end - m_p < qsizetype(word.size()) || std::memcmp(m_p, word.data(), word.size()) != 0)
            Fail("invalid value");
        m_p += word.size();
    }

    QJsonObject Object(int depth)
    {
        if (depth > kMaxJsonDepth)
            Fail("nesting too deep");
        ++m_p;
        QJsonObject object;
        if (Take('}'))
            return object;
        do {
            SkipSpace();
            if (m_p == m_end || *m_p != '"')
                Fail("expected a member name");
            const QString key = String();
            if (!Take(':'))
                Fail("expected ':'");
            SkipSpace();
            // A repeated key replaces the earlier value.
            if (m_unusedArgs && depth == 2 && m_inResult && key == QLatin1String("args") && m_p < m_end &&
                *m_p == '[') {
                object.insert(key, Array(depth + 1, m_unusedArgs));
            } else if (m_valueUtf8 && depth == 2 && m_inResult && key == QLatin1String("value")) {
                if (m_p < m_end && *m_p == '"') {
                    *m_valueUtf8 = Utf8String();
                    object.insert(key, QJsonValue(QJsonValue::Null));
                } else {
                    m_valueUtf8->reset();
                    object.insert(key, Value(depth));
                }
            } else if (m_longParams && depth == 1 && key == QLatin1String("params") && m_p < m_end && *m_p == '[') {
                m_longParams->clear(); // of a repeated key, the last one's
                object.insert(key, Array(depth + 1, 0, true));
            } else if ((m_unusedArgs || m_valueUtf8) && depth == 1 && key == QLatin1String("result")) {
                m_inResult = true;
                object.insert(key, Value(depth));
                m_inResult = false;
            } else {
                object.insert(key, Value(depth));
            }
        } while (Take(','));
        if (!Take('}'))
            Fail("expected ',' or '}'");
        return object;
    }

    // `skipStrings`: elements whose strings nobody reads (bit i: element i).
    // `longAsUtf8`: long strings go to m_longParams.
    QJsonArray Array(int depth, quint64 skipStrings = 0, bool longAsUtf8 = false)
    {
        if (depth > kMaxJsonDepth)
            Fail("nesting too deep");
        ++m_p;
        QJsonArray array;
        if (Take(']'))
            return array;
        int i = 0;
        do {
            SkipSpace();
            if (i < 64 && (skipStrings >> i) & 1 && m_p < m_end && *m_p == '"') {
                SkipString();
                array.append(QJsonValue(QJsonValue::Null));
            } else if (longAsUtf8 && m_p < m_end && *m_p == '"') {
                const TRaw r = RawString();
                if (r.Size >= kLongStringBytes) {
                    (*m_longParams)[i] = Utf8Of(r);
                    array.append(QJsonValue(QJsonValue::Null));
                } else {
                    array.append(Text(r.Data, r.Size, r.Ascii, r.At));
                }
            } else {
                array.append(Value(depth));
            }
            ++i;
        } while (Take(','));
        if (!Take(']'))
            Fail("expected ',' or ']'");
        return array;
    }

    QJsonValue Number()
    {
        const char* start = m_p;
        const char* p = m_p;
        const auto digits = [&] {
            if (p == m_end || !IsDigit(*p))
                Fail("invalid number", start);
            while (p < m_end && IsDigit(*p))
                ++p;
        };
        if (*p == '-')
            ++p;
        if (p < m_end && *p == '0')
            ++p; // no leading zeros: a digit after it is refused by the caller
        else
            digits();
        bool integer = true;
        if (p < m_end && *p == '.') {
            integer = false;
            ++p;
            digits();
        }
        if (p < m_end && (*p == 'e' || *p == 'E')) {
            integer = false;
            ++p;
            if (p < m_end && (*p == '+' || *p == '-'))
                ++p;
            digits();
        }
        m_p = p;
        if (integer) {
            qint64 n = 0;
            if (std::from_chars(start, p, n).ec == std::errc())
                return n;
        }
        double d = 0;
        if (std::from_chars(start, p, d).ec != std::errc())
            Fail("number out of range", start);
        // A whole value within qint64 comes out an integer, as from Qt's parser.
        if (d >= -0x1p63 && d < 0x1p63 && d == std::trunc(d))
            return qint64(d);
        return d;
    }

    uint Hex4(const char* p) const
    {
        if (m_end - p < 4)
            Fail("unterminated string");
        uint v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = p[i];
            const int h = IsDigit(c) ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
            if (h < 0)
                Fail("invalid \\u escape", p - 2);
            v = v << 4 | uint(h);
        }
        return v;
    }

    // The string at m_p (its opening quote); the fast case is a run with no escapes.
    // Past a string whose value nobody reads: its end found, nothing decoded.
    void SkipString()
    {
        const char* start = ++m_p;
        bool ascii = true;
        char* none = nullptr;
        for (const char* p = start;;) {
            p = Run<false>(p, m_end, none, ascii);
            if (p == m_end)
                Fail("unterminated string", start - 1);
            if (*p == '"') {
                m_p = p + 1;
                return;
            }
            if (*p != '\\')
                Fail("control character in a string", p);
            if (m_end - p < 2)
                Fail("unterminated string", start - 1);
            p += 2;
        }
    }

    // The unescaped bytes of the string at m_p, still to be checked as UTF-8.
    struct TRaw
    {
        const char* Data;
        qsizetype Size;
        bool Ascii;
        const char* At; // just past the opening quote, for error offsets
    };

    QString String()
    {
        const TRaw r = RawString();
        return Text(r.Data, r.Size, r.Ascii, r.At);
    }

    // The string's value as UTF-8, for text that goes on as bytes (a data packet):
    // no round trip through UTF-16, the same checks as String().
    QByteArray Utf8String() { return Utf8Of(RawString()); }

    QByteArray Utf8Of(const TRaw& r) const
    {
        const QByteArrayView bytes(r.Data, r.Size);
        if (!r.Ascii && !bytes.isValidUtf8())
            Fail("invalid UTF-8 in a string", r.At - 1);
        return bytes.toByteArray();
    }

    TRaw RawString()
    {
        const char* start = ++m_p;
        bool ascii = true;
        char* none = nullptr;
        const char* q = Run<false>(start, m_end, none, ascii);
        if (q < m_end && *q == '"') {
            m_p = q + 1;
            return {start, q - start, ascii, start};
        }
        // Escapes: unescaped text is never longer than its escaped form, so one
        // buffer as long as the rest of the document serves every string in it.
        if (!m_scratch)
            m_scratch = std::make_unique_for_overwrite<char[]>(size_t(m_end - start) + 16);
        char* const buffer = m_scratch.get();
        std::memcpy(buffer, start, size_t(q - start));
        char* out = buffer + (q - start);
        for (const char* p = q;; p = Run<true>(p, m_end, out, ascii)) {
            if (p == m_end)
                Fail("unterminated string", start - 1);
            if (*p == '"') {
                m_p = p + 1;
                return {buffer, out - buffer, ascii, start};
            }
            if (*p != '\\')
                Fail("control character in a string", p);
            if (m_end - p < 2)
                Fail("unterminated string", start - 1);
            const char e = p[1];
            p += 2;
            switch (e) {
            case '"': *out++ = '"'; break;
            case '\\': *out++ = '\\'; break;
            case '/': *out++ = '/'; break;
            case 'b': *out++ = '\b'; break;
            case 'f': *out++ = '\f'; break;
            case 'n': *out++ = '\n'; break;
            case 'r': *out++ = '\r'; break;
            case 't': *out++ = '\t'; break;
            case 'u': {
                char32_t c = Hex4(p);
                p += 4;
                if (c >= 0xdc00 && c <= 0xdfff)
                    Fail("unpaired surrogate", p - 6);
                if (c >= 0xd800 && c <= 0xdbff) {
                    if (m_end - p < 2 || p[0] != '\\' || p[1] != 'u')
                        Fail("unpaired surrogate", p - 6);
                    const char32_t low = Hex4(p + 2);
                    if (low < 0xdc00 || low > 0xdfff)
                        Fail("unpaired surrogate", p - 6);
                    c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                    p += 6;
                }
                ascii = ascii && c < 0x80;
                out = PutUtf8(out, c);
                break;
            }
            default: Fail("invalid escape", p - 2);
            }
        }
    }

    QString Text(const char* s, qsizetype n, bool ascii, const char* at) const
    {
        if (ascii)
            return QString::fromLatin1(s, n);
        std::optional<QString> text = DecodeUtf8(QByteArrayView(s, n));
        if (!text)
            Fail("invalid UTF-8 in a string", at - 1);
        return *std::move(text);
    }

    const char* const m_begin;
    const char* m_p;
    const char* const m_end;
    std::unique_ptr<char[]> m_scratch;
    const quint64 m_unusedArgs = 0; // answer arguments nobody reads (bit i: argument i)
    std::optional<QByteArray>* const m_valueUtf8 = nullptr; // the answer's string value, as bytes
    TUtf8Strings* const m_longParams = nullptr;              // a request's long arguments, as bytes
    bool m_inResult = false;
};

class TWriter
{
public:
    explicit TWriter(QByteArray& out) : m_out(out), m_pos(out.size()) {}
    ~TWriter() { m_out.resize(m_pos); }

    void Value(const QJsonValue& v)
    {
        switch (v.type()) {
        case QJsonValue::Bool: Put(v.toBool() ? "true" : "false"); break;
        case QJsonValue::Double: Number(v); break;
        case QJsonValue::String: String(v.toString()); break;
        case QJsonValue::Array: Array(v.toArray()); break;
        case QJsonValue::Object: Object(v.toObject()); break;
        default: Put("null"); break; // null, and undefined as Qt writes it
        }
    }

private:
    // Room for `n` more bytes at m_pos.
    char* Reserve(qsizetype n)
    {
        const qsizetype need = m_pos + n;
        if (m_out.size() < need)
            m_out.resize(std::max(need + need / 4, qsizetype(256)));
        return m_out.data() + m_pos;
    }

    void Put(std::string_view s)
    {
        std::memcpy(Reserve(qsizetype(s.size())), s.data(), s.size());
        m_pos += qsizetype(s.size());
    }

    void Object(const QJsonObject& object)
    {
        Put("{");
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it != object.constBegin())
                Put(",");
            String(it.key());
            Put(":");
            Value(it.value());
        }
        Put("}");
    }

    void Array(const QJsonArray& array)
    {
        Put("[");
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i)
                Put(",");
            Value(array.at(i));
        }
        Put("]");
    }

    void Number(const QJsonValue& v)
    {
        // Integers stay integers; doubles get Qt's shortest round-trip form.
        if (v.toVariant().typeId() == QMetaType::LongLong) {
            char* o = Reserve(24);
            m_pos += std::to_chars(o, o + 24, v.toInteger()).ptr - o;
        } else if (const double d = v.toDouble(); std::isfinite(d)) {
            const QByteArray text = QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
            Put(std::string_view(text.constData(), size_t(text.size())));
        } else {
            Put("null");
        }
    }

    // The escape of '"', '\\' or a control character.
    static char* PutEscape(char* out, unsigned c)
    {
        *out++ = '\\';
        switch (c) {
        case '"': *out++ = '"'; break;
        case '\\': *out++ = '\\'; break;
        case '\b': *out++ = 'b'; break;
        case '\f': *out++ = 'f'; break;
        case '\n': *out++ = 'n'; break;
        case '\r': *out++ = 'r'; break;
        case '\t': *out++ = 't'; break;
        default:
            std::memcpy(out, "u00", 3);
            out[3] = "0123456789abcdef"[c >> 4];
            out[4] = "0123456789abcdef"[c & 0xf];
            out += 5;
        }
        return out;
    }

    void String(QStringView s)
    {
        // Straight from UTF-16: plain ASCII eight characters at a time, the rest one by one.
        const char16_t* p = s.utf16();
        const char16_t* const end = p + s.size();
        char* out = Reserve(s.size() + 2 + 16);
        *out++ = '"';
        for (;;) {
#ifdef __SSE2__
            for (; end - p >= 8; p += 8, out += 8) {
                const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i b = _mm_packus_epi16(w, w);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), b);
                const int ascii =
                    _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(w, _mm_set1_epi16(-0x80)), _mm_setzero_si128()));
                const unsigned wide = ~unsigned(ascii) & 0xffff; // two bits a character
                const int stop = (SpecialMask(b) & 0xff) | (wide ? 1 << (std::countr_zero(wide) / 2) : 0);
                if (stop) {
                    const int k = std::countr_zero(unsigned(stop));
                    p += k;
                    out += k;
                    break;
                }
            }
#endif
            if (p == end)
                break;
            const char16_t c = *p++;
            if (c < 0x80 && !IsSpecial(uchar(c))) {
                *out++ = char(c);
                continue;
            }
            // Room for this character's longest form, one byte for each one left and a block.
            m_pos = out - m_out.data();
            out = Reserve(6 + (end - p) + 1 + 16);
            if (c >= 0x80) {
                char32_t u = c;
                if (QChar::isSurrogate(c)) {
                    if (!QChar::isHighSurrogate(c) || p == end || !QChar::isLowSurrogate(*p))
                        throw EProtocolError(QStringLiteral("A string to send holds an unpaired surrogate"));
                    u = QChar::surrogateToUcs4(c, *p++);
                }
                out = PutUtf8(out, u);
                continue;
            }
            out = PutEscape(out, c);
        }
        *out++ = '"';
        m_pos = out - m_out.data();
    }

public:
    // Text already in UTF-8 (checked by the caller), copied as it is but for
    // what JSON escapes.
    void Utf8String(QByteArrayView s)
    {
        const char* p = s.data();
        const char* const end = p + s.size();
        char* out = Reserve(s.size() + 2 + 16);
        *out++ = '"';
        bool ascii = true;
        for (;;) {
            p = Run<true>(p, end, out, ascii);
            if (p == end)
                break;
            const uchar c = uchar(*p++);
            // Room for this byte's escape, one byte for each one left and a block.
            m_pos = out - m_out.data();
            out = Reserve(6 + (end - p) + 1 + 16);
            out = PutEscape(out, c);
        }
        *out++ = '"';
        m_pos = out - m_out.data();
    }

private:
    QByteArray& m_out;
    qsizetype m_pos;
};

} // namespace

void AppendJson(QByteArray& out, const QJsonValue& value)
{
    TWriter(out).Value(value);
}

void AppendJsonString(QByteArray& out, QByteArrayView utf8)
{
    if (!utf8.isValidUtf8())
        throw EProtocolError(QStringLiteral("A string to send is not valid UTF-8"));
    TWriter(out).Utf8String(utf8);
}

QJsonValue ParseJson(QByteArrayView text, quint64 unusedAnswerArgs, std::optional<QByteArray>* answerValueUtf8,
                     TUtf8Strings* longParams)
{
    return TParser(text, unusedAnswerArgs, answerValueUtf8, longParams).Document();
}

QString TextOfUtf8(QByteArrayView utf8)
{
    std::optional<QString> text = DecodeUtf8(utf8);
    if (!text)
        throw EProtocolError(QStringLiteral("invalid UTF-8 in a string"));
    return *std::move(text);
}

} // namespace wire
