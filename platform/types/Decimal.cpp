#include "Decimal.h"

#include <limits>

namespace {

constexpr std::int64_t kPow10[] = {1LL,
                                   10LL,
                                   100LL,
                                   1000LL,
                                   10000LL,
                                   100000LL,
                                   1000000LL,
                                   10000000LL,
                                   100000000LL,
                                   1000000000LL,
                                   10000000000LL,
                                   100000000000LL,
                                   1000000000000LL,
                                   10000000000000LL,
                                   100000000000000LL,
                                   1000000000000000LL,
                                   10000000000000000LL,
                                   100000000000000000LL,
                                   1000000000000000000LL};
constexpr int kMaxScale = 18;

bool MulOverflows(std::int64_t a, std::int64_t b, std::int64_t* out)
{
    return __builtin_mul_overflow(a, b, out);
}

} // namespace

std::optional<Decimal> Decimal::Parse(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    std::int64_t units = 0;
    int scale = 0;
    bool digits = false;
    bool point = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c == u'.') {
            if (point)
                return std::nullopt;
            point = true;
            continue;
        }
        if (c < u'0' || c > u'9')
            return std::nullopt;
        digits = true;
        if (point && ++scale > kMaxScale)
            return std::nullopt;
        // Accumulate negatively so that INT64_MIN parses too.
        if (MulOverflows(units, 10, &units) || __builtin_sub_overflow(units, c.unicode() - u'0', &units))
            return std::nullopt;
    }
    if (!digits)
        return std::nullopt;
    if (!negative) {
        if (units == std::numeric_limits<std::int64_t>::min())
            return std::nullopt;
        units = -units;
    }
    return Decimal(units, scale);
}

std::optional<Decimal> Decimal::Rescaled(int scale) const
{
    if (scale < 0 || scale > kMaxScale)
        return std::nullopt;
    if (scale == m_scale)
        return *this;
    if (scale > m_scale) {
        std::int64_t units;
        if (MulOverflows(m_units, kPow10[scale - m_scale], &units))
            return std::nullopt;
        return Decimal(units, scale);
    }
    const std::int64_t div = kPow10[m_scale - scale];
    std::int64_t q = m_units / div;
    const std::int64_t r = m_units % div;
    // Half away from zero; compare the remainder without overflowing.
    const std::int64_t ar = r < 0 ? -r : r;
    if (ar >= div - ar)
        q += m_units < 0 ? -1 : 1;
    return Decimal(q, scale);
}

std::optional<Decimal> Decimal::ExactlyAt(int scale) const
{
    if (scale < m_scale && scale >= 0 && m_scale <= kMaxScale && m_units % kPow10[m_scale - scale] != 0)
        return std::nullopt;
    return Rescaled(scale);
}

QString Decimal::ToString() const
{
    const bool negative = m_units < 0;
    // Unsigned magnitude handles INT64_MIN.
    std::uint64_t mag = negative ? std::uint64_t(0) - std::uint64_t(m_units) : std::uint64_t(m_units);
    QString digits = QString::number(mag);
    if (m_scale > 0) {
        if (digits.size() <= m_scale)
            digits.prepend(QString(m_scale - digits.size() + 1, u'0'));
        digits.insert(digits.size() - m_scale, u'.');
    }
    if (negative)
        digits.prepend(u'-');
    return digits;
}

double Decimal::ToDouble() const
{
    return double(m_units) / double(kPow10[m_scale < 0 ? 0 : (m_scale > kMaxScale ? kMaxScale : m_scale)]);
}

bool operator==(const Decimal& a, const Decimal& b)
{
    if (a.m_scale == b.m_scale)
        return a.m_units == b.m_units;
    const Decimal& lo = a.m_scale < b.m_scale ? a : b;
    const Decimal& hi = a.m_scale < b.m_scale ? b : a;
    std::int64_t scaled;
    if (MulOverflows(lo.m_units, kPow10[hi.m_scale - lo.m_scale], &scaled))
        return false;
    return scaled == hi.m_units;
}
