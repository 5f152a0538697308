#pragma once

// Private to platform/types: the text of one value in a data packet. Strict
// UTF-8 and base64, and the cell text of each field type (integers, fixed
// decimals, YYYYMMDD dates, HH:MM:SSmmm times, timestamps) decoded into the
// column store. The XML around the value is the scanner's business.

#include "PacketStore.h"

#include <QString>

namespace packet {

// True when [s, e) is strict UTF-8 of XML characters (no overlong forms,
// surrogates, values past U+10FFFF, U+FFFE or U+FFFF).
bool ValidUtf8(const char* s, const char* e);

// What a cell's text is read as: the field's type, its width in characters
// (strings; 0 for no limit) and its decimals (fixed).
struct CellFormat
{
    TFieldType type = TFieldType::ftUnknown;
    int width = 0;
    int scale = 0;
};

// Why a cell's text was refused: what it should have been.
enum class CellFault : quint8
{
    None,
    I2,
    I4,
    I8,
    Fixed,
    Date,
    Time,
    DateTime,
    Utf8,    // not valid UTF-8
    TooLong, // more characters than the width
    Base64,
    Base64Utf8, // a memo whose bytes are not UTF-8
};

// Decodes the text [b, e) of one cell, references already replaced, into row
// `row` of `col` and marks the row's value present. On a fault `col` is left
// half-written; the reader then refuses the whole packet.
CellFault DecodeCell(const CellFormat& format, Column& col, qsizetype row, const char* b, const char* e);

// The fault in the words of the reader's error message ("an i4 integer").
QString ExpectedText(CellFault fault, const CellFormat& format);

} // namespace packet
