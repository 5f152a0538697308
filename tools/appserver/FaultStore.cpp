#include "FaultStore.h"

#include "StoreDatabase.h"

#include "platform/sql/SQLDataSet.h"

#include <QJsonDocument>

QList<TFault> TFaultStore::Load()
{
    QList<TFault> list;
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("SELECT ID, SPEC FROM KAS_FAULT ORDER BY ID"));
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        TFault f = TFault::FromJson(QJsonDocument::fromJson(ds.Fields(1).AsString().toUtf8()).object());
        f.Id = ds.Fields(0).AsInteger();
        list << f;
    }
    ds.Close();
    return list;
}

int TFaultStore::Save(const TFault& fault)
{
    TSQLDataSet& next = m_database.Statement(QStringLiteral("SELECT COALESCE(MAX(ID), 0) + 1 FROM KAS_FAULT"));
    next.Open();
    const int id = next.Fields(0).AsInteger();
    next.Close();
    TFault stored = fault;
    stored.Id = 0;
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("INSERT INTO KAS_FAULT (ID, SPEC) VALUES (:ID, :SPEC)"));
    SetParam(ds, u"ID", id);
    SetParam(ds, u"SPEC", QString::fromUtf8(QJsonDocument(stored.ToJson()).toJson(QJsonDocument::Compact)));
    ds.ExecSQL();
    return id;
}

void TFaultStore::Delete(int id)
{
    TSQLDataSet& ds = m_database.Statement(QStringLiteral("DELETE FROM KAS_FAULT WHERE ID = :ID"));
    SetParam(ds, u"ID", id);
    ds.ExecSQL();
}

void TFaultStore::Clear()
{
    m_database.Statement(QStringLiteral("DELETE FROM KAS_FAULT")).ExecSQL();
}
