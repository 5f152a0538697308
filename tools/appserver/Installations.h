#pragma once

#include <QList>
#include <QString>

#include <optional>

class TStoreDatabase;

// A store (branch) the server accepts, found by its contract code and PKFILIAL.
// The New* values, when set, are written back into the identity arguments of
// Conecta_No_Banco.
struct TInstallation
{
    QString CdContrato;
    qint32 PkEmpresa = 0;
    qint32 PkFilial = 0;
    QString UF;
    std::optional<QString> NewCdContrato;
    std::optional<qint32> NewPkEmpresa;
    std::optional<qint32> NewPkFilial;
    std::optional<QString> NewUF;
};

// The installations kept in KAS_INSTALLATION.
class TInstallationStore
{
public:
    explicit TInstallationStore(TStoreDatabase& database) : m_database(database) {}

    // Adds the installation or replaces the one with the same contract and PKFILIAL.
    void Add(const TInstallation& installation);
    std::optional<TInstallation> Find(const QString& cdContrato, qint32 pkFilial);
    QList<TInstallation> All();

private:
    TStoreDatabase& m_database;
};
