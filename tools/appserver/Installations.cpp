#include "Installations.h"

#include "StoreDatabase.h"

#include "platform/sql/SQLDataSet.h"

void TInstallationStore::Add(const TInstallation& i)
{
    TSQLDataSet& ds = m_database.Statement(QStringLiteral(
        "UPDATE OR INSERT INTO KAS_INSTALLATION (CDCONTRATO, PKFILIAL, PKEMPRESA, UF, NEWCDCONTRATO, NEWPKEMPRESA, "
        "NEWPKFILIAL, NEWUF) VALUES (:CDCONTRATO, :PKFILIAL, :PKEMPRESA, :UF, :NEWCDCONTRATO, :NEWPKEMPRESA, "
        ":NEWPKFILIAL, :NEWUF) MATCHING (CDCONTRATO, PKFILIAL)"));
    const auto opt = [](const auto& o) { return o ? QVariant(*o) : QVariant(); };
    SetParam(ds, u"CDCONTRATO", i.CdContrato.trimmed());
    SetParam(ds, u"PKFILIAL", i.PkFilial);
    SetParam(ds, u"PKEMPRESA", i.PkEmpresa);
    SetParam(ds, u"UF", i.UF);
    SetParam(ds, u"NEWCDCONTRATO", opt(i.NewCdContrato));
    SetParam(ds, u"NEWPKEMPRESA", opt(i.NewPkEmpresa));
    SetParam(ds, u"NEWPKFILIAL", opt(i.NewPkFilial));
    SetParam(ds, u"NEWUF", opt(i.NewUF));
    ds.ExecSQL();
}

QList<TInstallation> TInstallationStore::All()
{
    QList<TInstallation> list;
    TSQLDataSet& ds = m_database.Statement(
        QStringLiteral("SELECT CDCONTRATO, PKFILIAL, PKEMPRESA, UF, NEWCDCONTRATO, NEWPKEMPRESA, NEWPKFILIAL, NEWUF "
                       "FROM KAS_INSTALLATION ORDER BY PKFILIAL, CDCONTRATO"));
    for (ds.Open(); !ds.Eof(); ds.Next()) {
        TInstallation i;
        i.CdContrato = ds.Fields(0).AsString();
        i.PkFilial = ds.Fields(1).AsInteger();
        i.PkEmpresa = ds.Fields(2).AsInteger();
        i.UF = ds.Fields(3).AsString();
        if (!ds.Fields(4).IsNull())
            i.NewCdContrato = ds.Fields(4).AsString();
        if (!ds.Fields(5).IsNull())
            i.NewPkEmpresa = ds.Fields(5).AsInteger();
        if (!ds.Fields(6).IsNull())
            i.NewPkFilial = ds.Fields(6).AsInteger();
        if (!ds.Fields(7).IsNull())
            i.NewUF = ds.Fields(7).AsString();
        list << i;
    }
    ds.Close();
    return list;
}

std::optional<TInstallation> TInstallationStore::Find(const QString& cdContrato, qint32 pkFilial)
{
    for (const TInstallation& i : All())
        if (i.PkFilial == pkFilial && i.CdContrato == cdContrato.trimmed())
            return i;
    return std::nullopt;
}
