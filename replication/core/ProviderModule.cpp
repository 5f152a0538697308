#include "ProviderModule.h"

#include "platform/data/DataSetProvider.h"
#include "platform/types/Exception.h"
#include "platform/sql/SQLDataSet.h"

TProviderModule::TProviderModule(QList<TCatalogueEntry> catalogue, bool keyImpliesRequired)
    : m_entries(std::move(catalogue))
{
    for (const TCatalogueEntry& e : m_entries) {
        try {
            m_fields.push_back(ParseFieldList(e.FieldList, keyImpliesRequired));
        } catch (const EDatabaseError& error) {
            throw EDatabaseError(QStringLiteral("%1: %2").arg(e.DataSetName, error.Message()));
        }
        auto ds = std::make_unique<TSQLDataSet>();
        ds->SetCommandText(e.CommandText);
        m_providers.push_back(std::make_unique<TDataSetProvider>(e.ProviderName, ds.get(), m_fields.back()));
        m_dataSets.push_back(std::move(ds));
        m_lcAgente.AddProvider(m_providers.back().get());
    }
}

TProviderModule::~TProviderModule() = default;

void TProviderModule::SetSQLConnection(TSQLConnection* connection)
{
    for (auto& ds : m_dataSets)
        ds->SetSQLConnection(connection);
}

TProvider TProviderModule::GetProvider(int index) const
{
    const TCatalogueEntry& e = m_entries[index];
    return TProvider{e.ProviderName, e.DataSetName};
}

TSQLDataSet& TProviderModule::DataSet(int index) const { return *m_dataSets[size_t(index)]; }

TDataSetProvider& TProviderModule::Provider(int index) const { return *m_providers[size_t(index)]; }

QString JoinLines(const QStringList& lines) { return lines.join(QStringLiteral("\r\n")); }
