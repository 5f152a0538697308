#pragma once

// Private to platform/types: the column storage behind TDataPacket, shared by
// the packet class and its XML reader and writer.

#include "DataPacket.h"
#include "Exception.h"

#include <QtGlobal>

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace packet {

// A growable array of plain values on malloc/realloc. Large blocks grow in
// place (mremap) instead of being copied, which keeps the peak memory of a
// big decode close to its final size.
template <class T>
class PodBuffer
{
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PodBuffer() = default;
    PodBuffer(const PodBuffer& o) { CopyFrom(o); }
    PodBuffer& operator=(const PodBuffer& o)
    {
        if (this != &o) {
            PodBuffer tmp(o);
            Swap(tmp);
        }
        return *this;
    }
    PodBuffer(PodBuffer&& o) noexcept { Swap(o); }
    PodBuffer& operator=(PodBuffer&& o) noexcept
    {
        Swap(o);
        return *this;
    }
    ~PodBuffer() { std::free(m_data); }

    void Swap(PodBuffer& o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }

    qsizetype Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    T* Data() { return m_data; }
    const T* Data() const { return m_data; }
    T& operator[](qsizetype i) { return m_data[i]; }
    const T& operator[](qsizetype i) const { return m_data[i]; }
    T& Back() { return m_data[m_size - 1]; }

    void Reserve(qsizetype capacity)
    {
        if (capacity <= m_capacity)
            return;
        void* p = std::realloc(m_data, size_t(capacity) * sizeof(T));
        if (!p)
            throw std::bad_alloc();
        m_data = static_cast<T*>(p);
        m_capacity = capacity;
    }
    void PushBack(T v)
    {
        if (m_size == m_capacity)
            Grow(m_size + 1);
        m_data[m_size++] = v;
    }
    // Room for `n` more values, uninitialised; returns where they start.
    T* Extend(qsizetype n)
    {
        if (m_size + n > m_capacity)
            Grow(m_size + n);
        T* p = m_data + m_size;
        m_size += n;
        return p;
    }
    void Truncate(qsizetype n)
    {
        if (n < m_size)
            m_size = n;
    }
    void Clear() { m_size = 0; }
    void Release()
    {
        std::free(m_data);
        m_data = nullptr;
        m_size = m_capacity = 0;
    }

private:
    void Grow(qsizetype needed)
    {
        qsizetype c = m_capacity < 16 ? 16 : m_capacity + m_capacity / 2;
        Reserve(c < needed ? needed : c);
    }
    void CopyFrom(const PodBuffer& o)
    {
        if (o.m_size == 0)
            return;
        Reserve(o.m_size);
        std::memcpy(m_data, o.m_data, size_t(o.m_size) * sizeof(T));
        m_size = o.m_size;
    }

    T* m_data = nullptr;
    qsizetype m_size = 0;
    qsizetype m_capacity = 0;
};

enum class Kind : std::uint8_t
{
    Number, // integers, decimal units, dates, times, timestamps
    Text,   // str, char: UTF-16
    Bytes,  // memo (UTF-8), blob
};

inline Kind KindOf(TFieldType t)
{
    switch (t) {
    case TFieldType::ftString:
    case TFieldType::ftFixedChar: return Kind::Text;
    case TFieldType::ftMemo:
    case TFieldType::ftBlob: return Kind::Bytes;
    default: return Kind::Number;
    }
}

// Days between the julian day number 0 and 1970-01-01.
constexpr qint64 kEpochJulianDay = 2440588;
constexpr qint64 kMsPerDay = 86400000;
// The packet writes years with four digits.
constexpr qint64 kMinJulianDay = 1721426; // 0001-01-01
constexpr qint64 kMaxJulianDay = 5373484; // 9999-12-31

// One field's values. Number columns hold one qint64 per row (date: julian day;
// time: ms of the day; timestamp: wall-clock ms since 1970-01-01T00:00; decimal:
// units at the field's scale). Text and Bytes columns hold the end offset of
// each row's value in `nums` and the values back to back in `chars`/`bytes`.
// Bit r of `present` is set when row r is not null.
struct Column
{
    Kind kind = Kind::Number;
    PodBuffer<qint64> nums;
    PodBuffer<char16_t> chars;
    PodBuffer<char> bytes;
    PodBuffer<quint64> present;

    bool IsPresent(qsizetype row) const { return (present[row >> 6] >> (row & 63)) & 1u; }
    void SetPresent(qsizetype row) { present[row >> 6] |= quint64(1) << (row & 63); }
    qint64 Start(qsizetype row) const { return row == 0 ? 0 : nums[row - 1]; }

    // Adds a null row; its value is filled in afterwards where there is one.
    void OpenRow(qsizetype row)
    {
        if ((row & 63) == 0)
            present.PushBack(0);
        switch (kind) {
        case Kind::Number: nums.PushBack(0); break;
        case Kind::Text: nums.PushBack(chars.Size()); break;
        case Kind::Bytes: nums.PushBack(bytes.Size()); break;
        }
    }
    void Reserve(qsizetype rows)
    {
        nums.Reserve(rows);
        present.Reserve(rows / 64 + 1);
    }
};

// Fields and rows of a packet; TDataPacket::Data is exactly this.
struct Store
{
    TFieldDefs fields;
    std::vector<Column> columns;
    qsizetype rows = 0;

    Store() = default;
    explicit Store(TFieldDefs defs);
    void OpenRow()
    {
        for (auto& c : columns)
            c.OpenRow(rows);
        ++rows;
    }
    // Drops rows from `count` on (a row that failed half-way).
    void TruncateRows(qsizetype count);
};

} // namespace packet

struct TDataPacket::Data : packet::Store
{
    using Store::Store;
    explicit Data(packet::Store&& s) : Store(std::move(s)) {}
};

namespace packet {

// Checks a field list for a packet: known types, names usable as XML attribute
// names, no name twice (without regard to case). Raises EPacketError.
void CheckFieldDefs(const TFieldDefs& defs);
bool IsXmlName(QByteArrayView name);

// Julian day <-> civil date without QDate, for the codec's inner loops.
void CivilFromJulianDay(qint64 jd, int& y, int& m, int& d);
qint64 JulianDayFromCivil(int y, int m, int d);
bool ValidCivilDate(int y, int m, int d);

} // namespace packet
