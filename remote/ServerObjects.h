#pragma once

#include <QByteArray>
#include <QString>

class TConnectionBroker;

// Typed views of the four remote server objects over a connected broker.
// Arguments marked "var" are passed by reference: whatever the server leaves in
// them is written back into the caller's variables. A boolean answer counts as
// success only when it is a JSON true; an integer answer that is not an integer
// reads as -1 (failure). Transport and error answers raise Exception.

// The identity of the installation as the servers receive it, by reference.
struct TIdentityRef
{
    QString& CdContrato;
    qint32& PkEmpresa;
    qint32& PkFilial;
    QString& UF;
};

// "KeltCadServer.coKeltCadServer": carrier master data for stores.
class TKeltCadServer
{
public:
    static constexpr const char* ServerName = "KeltCadServer.coKeltCadServer";
    explicit TKeltCadServer(TConnectionBroker& broker) : m_broker(broker) {}

    bool Conecta_No_Banco(TIdentityRef identity);
    qint32 Get_ProvidersCount();
    void Get_Providers(qint32 index, QString& providerName, QString& tableName);
    bool ReplicaTabela(qint32& pkEmpresa, const QString& table);
    qint32 NrRegistros_AImportar(const QString& table, TIdentityRef identity, qint32& pkUltimo);
    bool Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity);

private:
    TConnectionBroker& m_broker;
};

// "KeltCadMServer5.coKeltCadMServer5": master data between headquarters and branches.
class TKeltCadMServer
{
public:
    static constexpr const char* ServerName = "KeltCadMServer5.coKeltCadMServer5";
    explicit TKeltCadMServer(TConnectionBroker& broker) : m_broker(broker) {}

    bool Conecta_No_Banco(TIdentityRef identity);
    qint32 Get_ProvidersCount();
    void Get_Providers(qint32 index, QString& providerName, QString& tableName);
    qint32 NrRegistros_AImportar(const QString& table, TIdentityRef identity, qint32& pkUltimo);
    bool Inseri_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity);
    bool Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity);
    qint32 GetPkUltimo(const QString& table, QString& cdContrato, bool flag = false);

private:
    TConnectionBroker& m_broker;
};

// "KeltMovMServer5.coKeltMovMServer5": transactions from branches to headquarters.
class TKeltMovMServer
{
public:
    static constexpr const char* ServerName = "KeltMovMServer5.coKeltMovMServer5";
    explicit TKeltMovMServer(TConnectionBroker& broker) : m_broker(broker) {}

    bool Conecta_No_Banco(TIdentityRef identity);
    qint32 Get_ProvidersCount();
    void Get_Providers(qint32 index, QString& providerName, QString& tableName);
    qint32 NrRegistros_AImportar(const QString& table, TIdentityRef identity);
    bool Inseri_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity);
    bool Exclui_No_Servidor(QString& table, const QByteArray& packet, TIdentityRef identity);
    bool LimpaVariaveisItCondiVendaCompra();

private:
    TConnectionBroker& m_broker;
};

// "KeltInternoServer.coKeltInternoServer": the update check.
class TKeltInternoServer
{
public:
    static constexpr const char* ServerName = "KeltInternoServer.coKeltInternoServer";
    explicit TKeltInternoServer(TConnectionBroker& broker) : m_broker(broker) {}

    // Answer text: a status code, optionally "|" and the installer's address.
    QString ProcuraAtualizacao(const QString& executable, const QString& version);

private:
    TConnectionBroker& m_broker;
};
