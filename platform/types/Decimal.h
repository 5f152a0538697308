#pragma once

#include <QMetaType>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// An exact fixed-point number: an integer count of units of 10^-scale.
// NUMERIC/DECIMAL values of Firebird (at most 18 digits) fit without loss;
// doubles never stand in for them.
class Decimal
{
public:
    Decimal() = default;
    Decimal(std::int64_t units, int scale) : m_units(units), m_scale(scale) {}

    std::int64_t Units() const { return m_units; }
    int Scale() const { return m_scale; }

    // Plain decimal text: optional sign, digits, optional '.' and digits.
    // No exponent, no grouping. Empty optional on anything else or on overflow.
    static std::optional<Decimal> Parse(QStringView text);

    // The same value at another scale. Raising the scale is exact; lowering it
    // rounds half away from zero. Empty optional on overflow.
    std::optional<Decimal> Rescaled(int scale) const;
    // The same value at another scale without rounding: empty when digits would
    // be lost or on overflow.
    std::optional<Decimal> ExactlyAt(int scale) const;

    // Plain text with exactly Scale() decimals and '.' as separator.
    QString ToString() const;

    double ToDouble() const;

    // Equal in value, whatever the scale (1.50 == 1.5).
    friend bool operator==(const Decimal& a, const Decimal& b);
    friend bool operator!=(const Decimal& a, const Decimal& b) { return !(a == b); }

private:
    std::int64_t m_units = 0;
    int m_scale = 0;
};

Q_DECLARE_METATYPE(Decimal)
