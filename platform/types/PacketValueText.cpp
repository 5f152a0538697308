#include "PacketValueText.h"

#include <cstring>
#include <limits>
#include <string>

namespace packet {

namespace {

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

} // namespace

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

CellFault DecodeCell(const CellFormat& format, Column& col, qsizetype row, const char* b, const char* e)
{
    const qsizetype n = e - b;
    qint64 v = 0;
    switch (format.type) {
    case TFieldType::ftSmallint:
        if (!ParseInteger(b, e, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max(), v))
            return CellFault::I2;
        break;
    case TFieldType::ftInteger:
        if (!ParseInteger(b, e, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max(), v))
            return CellFault::I4;
        break;
    case TFieldType::ftLargeint:
        if (!ParseInteger(b, e, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max(), v))
            return CellFault::I8;
        break;
    case TFieldType::ftFMTBcd:
        if (!ParseFixed(b, e, format.scale, v))
            return CellFault::Fixed;
        break;
    case TFieldType::ftDate:
        if (n != 8 || !ParseDate(b, v))
            return CellFault::Date;
        break;
    case TFieldType::ftTime:
        if (n != 11 || !ParseTime(b, v))
            return CellFault::Time;
        break;
    case TFieldType::ftTimeStamp: {
        qint64 jd, ms;
        if (n != 20 || b[8] != 'T' || !ParseDate(b, jd) || !ParseTime(b + 9, ms))
            return CellFault::DateTime;
        v = (jd - kEpochJulianDay) * kMsPerDay + ms;
        break;
    }
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: {
        char16_t* out = col.chars.Extend(n);
        qsizetype codePoints = 0;
        const qsizetype units = DecodeUtf8(b, e, out, codePoints);
        if (units < 0)
            return CellFault::Utf8;
        col.chars.Truncate(col.chars.Size() - n + units);
        if (format.width > 0 && codePoints > format.width)
            return CellFault::TooLong;
        if (format.type == TFieldType::ftFixedChar && codePoints < format.width) {
            const qsizetype pad = format.width - codePoints;
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
            return CellFault::Base64;
        if (format.type == TFieldType::ftMemo && !ValidUtf8(col.bytes.Data() + start, col.bytes.Data() + col.bytes.Size()))
            return CellFault::Base64Utf8;
        v = col.bytes.Size();
        break;
    }
    case TFieldType::ftUnknown: break;
    }
    col.nums[row] = v;
    col.SetPresent(row);
    return CellFault::None;
}

QString ExpectedText(CellFault fault, const CellFormat& format)
{
    switch (fault) {
    case CellFault::None: break;
    case CellFault::I2: return QStringLiteral("an i2 integer");
    case CellFault::I4: return QStringLiteral("an i4 integer");
    case CellFault::I8: return QStringLiteral("an i8 integer");
    case CellFault::Fixed: return QStringLiteral("a decimal with at most %1 decimals").arg(format.scale);
    case CellFault::Date: return QStringLiteral("a date (YYYYMMDD)");
    case CellFault::Time: return QStringLiteral("a time (HH:MM:SSmmm)");
    case CellFault::DateTime: return QStringLiteral("a date and time (YYYYMMDDTHH:MM:SSmmm)");
    case CellFault::Utf8: return QStringLiteral("valid UTF-8 text");
    case CellFault::TooLong: return QStringLiteral("a string of at most %1 characters").arg(format.width);
    case CellFault::Base64: return QStringLiteral("base64 text");
    case CellFault::Base64Utf8: return QStringLiteral("base64 of UTF-8 text");
    }
    return QString();
}

} // namespace packet
