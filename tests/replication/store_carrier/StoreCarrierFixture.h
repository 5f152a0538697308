#pragma once

// A store installation (program folder with Config.ini and Log/, AGENTE.KELT
// built by the schema builder, embedded or on the test command's server) and
// the stand-in server as its own process on an ephemeral loopback port, with
// its own database.

#include "connections/uDM.h"
#include "platform/types/DataPacket.h"
#include "tests/support/TestClocks.h"
#include "platform/os/ProgramFolder.h"
#include "platform/sql/SQLConnection.h"
#include "platform/sql/SQLDataSet.h"
#include "replication/core/ProgressWidgets.h"
#include "tests/replication/store_carrier/AppServerProcess.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TlsCertificate.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}


// One log file, line by line.
struct TLogEntry
{
    QString File;
    QString Step;
    QString Table;
    QString PkFilial;
    QString UF;
    QString Message;
};

inline const char16_t kAliquotaFields[] = u"PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2";
inline const char16_t kServicoFields[] = u"PKSERVICO int K; DSSERVICO str 100";

class StoreCarrierTest : public ::testing::Test
{
protected:
    static constexpr qint32 kStore = 12;

    void SetUp() override
    {
        SetClock(&m_clock);
        ASSERT_TRUE(QDir(m_installation.Path()).mkdir(QStringLiteral("Log")));
        BuildDatabase(LocalDatabase(), StoreTables(), /*forcedWrites=*/false);
        m_server = std::make_unique<TAppServerProcess>(QStringLiteral(KELT_APPSERVER_EXE), m_serverFolder.Path());
        if (m_tls) {
            m_certificate = std::make_unique<TTlsCertificate>(m_serverFolder.Path(), QStringLiteral("server"));
            m_server->SetTls(m_certificate->CertificateFile(), m_certificate->KeyFile());
            m_socketKeys = QStringLiteral("TLS=1\nFingerprint=%1\n").arg(m_certificate->Fingerprint());
        }
        m_server->Start();
        m_admin = std::make_unique<TAppServerAdmin>(m_server->Port(), m_tls ? m_certificate->Fingerprint() : QString());
        m_admin->AddInstallation(QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"));
        WriteConfig();
        SetProgramFolderOverride(m_installation.Path());
    }

    void TearDown() override
    {
        m_dm.reset();
        m_admin.reset();
        m_server->Stop();
        SetProgramFolderOverride({});
        SetClock(nullptr);
    }

    static TTableDefs StoreTables()
    {
        return ParseSchemaText(QStringLiteral(
            "TBALIQUOTA (PKALIQUOTA, PKFILIAL): PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2\n"
            "TBSERVICO (PKSERVICO): PKSERVICO int K; DSSERVICO str 10\n"
            "TBREMUNERACAO (PKREMUNERACAO): PKREMUNERACAO int K; NMREMUNERACAO str 50\n"
            "TBCLASSIFICACAO (PKCLASSIFICACAO): PKCLASSIFICACAO int K; NMCLASSIFICACAO str 50\n"
            "TBPROMOCAO (PKPROMOCAO): PKPROMOCAO int K; NMPROMOCAO str 100\n"
            "TBPRECOSERIAL (PKPRECOSERIAL): PKPRECOSERIAL int K; NRSERIAL str 30; VLVENDA dec 15.3\n"));
    }

    QString LocalPath() const { return m_installation.File(QStringLiteral("AGENTE.KELT")); }
    // [DB] DataBase: the file, or the file through the server on the server tier.
    QString LocalDatabase() const { return DatabaseConnectionString(LocalPath()); }

    // Config.ini of the store; every run reads it again.
    void WriteConfig(int packetSize = 1000, const QString& contrato = QStringLiteral("K1"), int port = -1)
    {
        const QString text = QStringLiteral("[FILIAL]\nCDCONTRATO=%1\nPKEMPRESA=1\nPKFILIAL=%2\nUF=VIVO_BA\nTPFILIAL=2\n"
                                            "[SOCKET]\nAddress=127.0.0.1\nPort=%3\n%6"
                                            "[DB]\nDataBase=%4\nUser_Name=SYSDBA\nPassword=quillbent\n"
                                            "ServerCharSet=ISO8859_1\nSQLDialect=3\n"
                                            "[CLIENTDATASET]\nPackedRecord=%5\n")
                                 .arg(contrato)
                                 .arg(kStore)
                                 .arg(port < 0 ? m_server->Port() : port)
                                 .arg(LocalDatabase())
                                 .arg(packetSize)
                                 .arg(m_socketKeys);
        m_installation.Write(QStringLiteral("Config.ini"), text.toUtf8());
    }

    // One run through the connection data module, which lives as long as the
    // test as it lives as long as the program. After every run the remote side
    // is closed.
    TRunResult Run()
    {
        if (!m_dm)
            m_dm = std::make_unique<TFDM>();
        m_dm->SetChannelLabel(&m_label);
        m_dm->SetChannelProgressBar(&m_bar);
        m_dm->RunCadChannel();
        ExpectClosed();
        return m_dm->CadClient->LastRun();
    }

    void ExpectClosed()
    {
        EXPECT_FALSE(m_dm->CbAgente.Connected());
        EXPECT_FALSE(m_dm->ScAgente.Connected());
        EXPECT_FALSE(m_dm->CdsTabela.Active());
    }

    static const TTableResult& Table(const TRunResult& run, const QString& table)
    {
        for (const TTableResult& t : run.Tables)
            if (t.Table == table)
                return t;
        throw std::runtime_error(("no result for " + table).toStdString());
    }

    // Rows of a local query, each as its values joined by '|' (NULL empty).
    QStringList Query(const QString& sql)
    {
        TSQLConnection c;
        c.Params().Add(QStringLiteral("DataBase"), LocalDatabase());
        c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
        QStringList rows;
        {
            TSQLDataSet ds(&c);
            ds.SetCommandText(sql);
            for (ds.Open(); !ds.Eof(); ds.Next()) {
                QStringList values;
                for (int i = 0; i < ds.FieldCount(); ++i)
                    values.append(ds.Fields(i).AsString());
                rows.append(values.join(u'|'));
            }
        }
        c.Close();
        return rows;
    }

    void Exec(const QString& sql)
    {
        TSQLConnection c;
        c.Params().Add(QStringLiteral("DataBase"), LocalDatabase());
        c.Params().Add(QStringLiteral("User_Name"), QStringLiteral("SYSDBA"));
        c.Params().Add(QStringLiteral("Password"), QStringLiteral("quillbent"));
        {
            TSQLDataSet ds(&c);
            ds.SetCommandText(sql);
            ds.ExecSQL();
        }
        c.Close();
    }

    // The log files written since the last call, oldest first; they are removed.
    QList<TLogEntry> TakeLogs()
    {
        QList<TLogEntry> entries;
        QDir dir(m_installation.File(QStringLiteral("Log")));
        for (const QString& name : dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files, QDir::Name)) {
            const QStringList lines =
                QString::fromLocal8Bit(m_installation.Read(QStringLiteral("Log/") + name)).split(QStringLiteral("\r\n"));
            const auto after = [&](int i, const char* prefix) {
                EXPECT_TRUE(lines.value(i).startsWith(QLatin1String(prefix))) << qPrintable(lines.value(i));
                return lines.value(i).mid(int(qstrlen(prefix)));
            };
            entries.append(TLogEntry{name, after(0, "Metodo: "), after(1, "NmTabela: "), after(4, "PkFilial: "),
                                     after(5, "UF: "), lines.mid(6).join(QStringLiteral("\r\n")).trimmed()});
            dir.remove(name);
        }
        return entries;
    }

    // How often the server has served a method (for one table) so far.
    int Calls(const QString& method, const QString& table = {})
    {
        int n = 0;
        for (const QJsonValue& v : m_admin->CallLog()) {
            const QJsonObject call = v.toObject();
            if (call["method"].toString() == method && (table.isEmpty() || call["table"].toString() == table))
                ++n;
        }
        return n;
    }

    void Fault(const QString& method, const QString& table, const QString& kind, bool once = true, int at = 1,
               const QJsonValue& value = {})
    {
        QJsonObject spec{{"method", method}, {"kind", kind}, {"once", once}, {"at", at}};
        if (!table.isEmpty())
            spec["table"] = table;
        if (!value.isUndefined())
            spec["value"] = value;
        m_admin->SetFault(spec);
    }

    QString ServerFailureText() const
    {
        return QStringLiteral("Verificar log de erro no servidor. Servidor: 127.0.0.1 Porta: %1 Servico: "
                              "KeltCadServer.coKeltCadServer")
            .arg(m_server->Port());
    }

    static QByteArray Packet(QStringView fields, const QList<QList<QVariant>>& rows)
    {
        TDataPacket packet(ParseFieldList(fields));
        for (const QList<QVariant>& row : rows)
            packet.AppendRow(row);
        return packet.ToXml();
    }

    // Rates `first`..`last` of this store, named `name` followed by the key.
    static QByteArray Aliquotas(int first, int last, const QString& name)
    {
        QList<QList<QVariant>> rows;
        for (int k = first; k <= last; ++k)
            rows.append({k, kStore, QStringLiteral("%1 %2").arg(name).arg(k), QStringLiteral("1.50")});
        return Packet(kAliquotaFields, rows);
    }

    static QByteArray Named(QStringView fields, int first, int last, const QString& name)
    {
        QList<QList<QVariant>> rows;
        for (int k = first; k <= last; ++k)
            rows.append({k, QStringLiteral("%1 %2").arg(name).arg(k)});
        return Packet(fields, rows);
    }

    // Set by a TLS fixture before SetUp: the server serves TLS with a
    // certificate made for the test, and [SOCKET] pins it.
    bool m_tls = false;
    std::unique_ptr<TTlsCertificate> m_certificate;
    QString m_socketKeys; // further lines of [SOCKET] (the TLS keys)
    TTickingClock m_clock;
    TTempFolder m_installation;
    TTempFolder m_serverFolder;
    std::unique_ptr<TAppServerProcess> m_server;
    std::unique_ptr<TAppServerAdmin> m_admin;
    std::unique_ptr<TFDM> m_dm;
    TTextHolder m_label;
    TPlainProgressBar m_bar;
};
