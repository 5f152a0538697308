#pragma once

// The Config.ini of a master-data installation in the tests and the
// benchmark: company 1 of contract K1 in VIVO_BA, the stand-in server on
// loopback, the embedded database with the test credentials.

#include <QByteArray>
#include <QString>

// `socketKeys`: further lines of [SOCKET] (the TLS keys).
inline QByteArray CadMConfigText(qint32 pkFilial, int tpFilial, int port, const QString& database, int packetSize,
                                 const QString& socketKeys = {})
{
    return QStringLiteral("[FILIAL]\nCDCONTRATO=K1\nPKEMPRESA=1\nPKFILIAL=%1\nUF=VIVO_BA\nTPFILIAL=%2\n"
                          "[SOCKET]\nAddress=127.0.0.1\nPort=%3\n%6"
                          "[DB]\nDataBase=%4\nUser_Name=SYSDBA\nPassword=quillbent\n"
                          "ServerCharSet=ISO8859_1\nSQLDialect=3\n[CLIENTDATASET]\nPackedRecord=%5\n")
        .arg(pkFilial)
        .arg(tpFilial)
        .arg(port)
        .arg(database)
        .arg(packetSize)
        .arg(socketKeys)
        .toUtf8();
}
