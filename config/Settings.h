#pragma once

#include <QList>
#include <QString>

// One CDCOMTA code.
struct TDadosCdComta
{
    QString Codigo;
    friend bool operator==(const TDadosCdComta&, const TDadosCdComta&) = default;
};

using TArrayCdComta = QList<TDadosCdComta>;

// Identity of the installation, read from [FILIAL] of Config.ini. The first four
// fields go by reference into the remote calls and stand in every log file.
struct TDadosFilial
{
    QString CdContrato;
    qint32 PkEmpresa = 0;
    qint32 PkFilial = 0;
    QString UF;
    qint32 TpFilial = 0;
    TArrayCdComta CdComta;
    friend bool operator==(const TDadosFilial&, const TDadosFilial&) = default;
};

// Replication monitoring switch and the log database path, from [LOG].
struct TDadosMonitoramentoReplicacao
{
    bool MonitorarReplicacao = false;
    QString DataBase;
    friend bool operator==(const TDadosMonitoramentoReplicacao&, const TDadosMonitoramentoReplicacao&) = default;
};
