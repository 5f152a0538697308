#pragma once

#include "platform/types/Params.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <optional>

// Provider parameters on the wire (docs/remote-protocol.md): a JSON array of
// {"name", "type", "value"} objects. Shared by the client's broker and the
// stand-in server so that both read and write the one shape.
namespace wire {

// "string", "integer", "smallint", "largeint", "decimal", "date", "time",
// "datetime", "memo", "blob". A fixed-width string travels as "string"; a
// parameter of unknown type takes the name of its value's kind.
QString ParamTypeName(const TParam& param);
// The field type of a type name; empty for a name outside the list above.
std::optional<TFieldType> ParamTypeFromName(QStringView name);

// Values: strings and memos as JSON strings; integers as JSON numbers;
// decimals as plain decimal text ("12.50"); dates "YYYY-MM-DD"; times
// "HH:MM:SS.mmm"; date-times "YYYY-MM-DDTHH:MM:SS.mmm"; blobs as base64;
// SQL NULL as JSON null. Raises Exception naming the parameter when its value
// cannot be written as its type.
QJsonValue ParamValueToJson(const TParam& param);
QJsonArray ParamsToJson(const TParams& params);

// Raises EProtocolError naming the parameter on anything that is not that shape:
// a missing name, an unknown type, a value that does not read as its type.
TParams ParamsFromJson(const QJsonValue& json);

} // namespace wire
