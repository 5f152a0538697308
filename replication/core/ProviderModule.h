#pragma once

#include "platform/types/FieldDefs.h"
#include "platform/data/LocalConnection.h"
#include "replication/core/cl_Funcoes.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

class TDataSetProvider;
class TSQLConnection;
class TSQLDataSet;

// One local provider of a provider data module: its name, the name of the query
// behind it (upper-cased, the replicated table), the query text and the
// persistent field list in the notation of ParseFieldList.
struct TCatalogueEntry
{
    QString ProviderName;
    QString DataSetName;
    QString CommandText;
    QString FieldList;
};

// A provider data module built by walking a catalogue: one query and one
// provider per entry, in catalogue order, all reachable by name through the
// module's local connection LcAgente.
class TProviderModule
{
public:
    // `keyImpliesRequired` as ParseFieldList. Raises EDatabaseError naming the
    // entry when a field list does not parse.
    TProviderModule(QList<TCatalogueEntry> catalogue, bool keyImpliesRequired);
    ~TProviderModule();
    TProviderModule(const TProviderModule&) = delete;
    TProviderModule& operator=(const TProviderModule&) = delete;

    // The queries run on this connection (borrowed; the local database).
    void SetSQLConnection(TSQLConnection* connection);

    int ProviderCount() const { return int(m_entries.size()); }
    // Entry i as the channels see it: provider name and data set name.
    TProvider GetProvider(int index) const;
    const TCatalogueEntry& Entry(int index) const { return m_entries[index]; }
    const TFieldDefs& Fields(int index) const { return m_fields[size_t(index)]; }
    TSQLDataSet& DataSet(int index) const;
    TDataSetProvider& Provider(int index) const;

    TLocalConnection& LcAgente() { return m_lcAgente; }

private:
    QList<TCatalogueEntry> m_entries;
    std::vector<TFieldDefs> m_fields;
    std::vector<std::unique_ptr<TSQLDataSet>> m_dataSets;
    std::vector<std::unique_ptr<TDataSetProvider>> m_providers;
    TLocalConnection m_lcAgente;
};

// The lines of a query joined as its stored text: CR LF between lines.
QString JoinLines(const QStringList& lines);
