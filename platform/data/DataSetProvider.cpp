#include "DataSetProvider.h"

#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"

#include <vector>

TDataSetProvider::TDataSetProvider(QString name, TSQLDataSet* dataSet, TFieldDefs persistentFields)
    : m_name(std::move(name)), m_dataSet(dataSet), m_fields(std::move(persistentFields))
{
}

TParams TDataSetProvider::GetParams() const
{
    if (!m_dataSet)
        throw EDatabaseError(QStringLiteral("%1: Missing DataSet property").arg(m_name));
    return m_dataSet->Params();
}

TDataPacket TDataSetProvider::GetRecords(int count, const TParams& params)
{
    if (!m_dataSet)
        throw EDatabaseError(QStringLiteral("%1: Missing DataSet property").arg(m_name));
    TSQLDataSet& ds = *m_dataSet;
    ds.Close();
    for (const TParam& p : params)
        if (TParam* mine = ds.Params().FindParam(p.Name))
            mine->Value = p.Value;

    struct CloseOnExit
    {
        TSQLDataSet& ds;
        ~CloseOnExit() { ds.Close(); }
    } closer{ds};

    ds.Open();
    // Without a persistent list every column of the result travels as it is.
    const TFieldDefs defs = m_fields.isEmpty() ? ds.FieldDefs() : m_fields;
    std::vector<int> source;
    source.reserve(size_t(defs.size()));
    for (const TFieldDef& def : defs) {
        const int i = ds.FindFieldIndex(def.Name);
        if (i < 0)
            throw EDatabaseError(QStringLiteral("%1: Field '%2' not found").arg(m_name, def.Name));
        source.push_back(i);
    }

    TDataPacket packet = [&] {
        try {
            return TDataPacket(defs);
        } catch (const EPacketError& e) {
            throw EDatabaseError(QStringLiteral("%1: %2").arg(m_name, e.Message()));
        }
    }();
    for (int n = 0; (count < 0 || n < count) && !ds.Eof(); ++n) {
        try {
            ds.AppendRowTo(packet, source);
        } catch (const EPacketError& e) {
            throw EDatabaseError(QStringLiteral("%1: row %2: %3").arg(m_name).arg(n + 1).arg(e.Message()));
        }
        ds.Next();
    }
    return packet;
}
