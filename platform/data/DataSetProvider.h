#pragma once

#include "platform/types/DataPacket.h"
#include "platform/types/FieldDefs.h"
#include "platform/types/Params.h"

#include <QByteArray>
#include <QString>

class TSQLDataSet;

// A named provider over a query with a fixed persistent field list: only the
// listed columns travel, in the list's order, with the list's types and marks.
class TDataSetProvider
{
public:
    TDataSetProvider(QString name, TSQLDataSet* dataSet, TFieldDefs persistentFields);

    const QString& Name() const { return m_name; }
    TSQLDataSet* DataSet() const { return m_dataSet; }
    const TFieldDefs& Fields() const { return m_fields; }

    // The query's parameters (names from its text, in order).
    TParams GetParams() const;
    // Opens the query with `params` (matched by name), reads at most `count`
    // rows (-1 all, 0 none), closes it and returns the batch. Raises
    // EDatabaseError when the query fails, when a listed column is not in its
    // result or when a value does not fit its listed type.
    TDataPacket GetRecords(int count, const TParams& params);

private:
    QString m_name;
    TSQLDataSet* m_dataSet;
    TFieldDefs m_fields;
};
