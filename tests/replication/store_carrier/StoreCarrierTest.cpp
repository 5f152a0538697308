// The store-carrier channel end to end: RunCadChannel of the connection data
// module against the stand-in server running as its own process.
#include "tests/replication/store_carrier/StoreCarrierFixture.h"

#include <QTcpServer>

namespace {

const QString kAliquota = QStringLiteral("TBALIQUOTA");
const QString kServico = QStringLiteral("TBSERVICO");
const QString kRemuneracao = QStringLiteral("TBREMUNERACAO");
const QString kClassificacao = QStringLiteral("TBCLASSIFICACAO");
const QString kPromocao = QStringLiteral("TBPROMOCAO");
const QString kPrecoSerial = QStringLiteral("TBPRECOSERIAL");

QStringList Steps(const QList<TLogEntry>& logs)
{
    QStringList steps;
    for (const TLogEntry& e : logs)
        steps.append(e.Table + u' ' + e.Step);
    return steps;
}

} // namespace

TEST_F(StoreCarrierTest, InsertsNewRowsAndUpdatesThemOnALaterDelivery)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 3, QStringLiteral("Aliq")));
    // The channel takes [SOCKET]; [SOCKET_PROPRIO] is the other channels'.
    m_installation.Write(QStringLiteral("Config.ini"), m_installation.Read(QStringLiteral("Config.ini"))
                                                           + "[SOCKET_PROPRIO]\nAddress=127.0.0.1\nPort=1\n");
    TRunResult run = Run();
    ASSERT_TRUE(run.Accepted);
    ASSERT_EQ(run.Tables.size(), 1);
    const TTableResult& first = run.Tables[0];
    EXPECT_EQ(first.Outcome, TTableOutcome::Done);
    EXPECT_EQ(first.Pending, 3);
    EXPECT_EQ(first.Batches, 1);
    EXPECT_EQ(first.Acknowledged, 1);
    EXPECT_EQ(first.Rows, 3);
    EXPECT_EQ(Query("SELECT PKALIQUOTA, PKFILIAL, NMALIQUOTA, PEALIQUOTA FROM TBALIQUOTA ORDER BY 1"),
              QStringList({"1|12|Aliq 1|1.50", "2|12|Aliq 2|1.50", "3|12|Aliq 3|1.50"}));
    EXPECT_EQ(m_label.Caption(), kAliquota);
    EXPECT_EQ(m_bar.Max(), 3);
    EXPECT_EQ(m_bar.Position(), 0);
    EXPECT_TRUE(TakeLogs().isEmpty());

    // Acknowledged rows are not offered again.
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NothingPending);
    EXPECT_EQ(Calls("Exclui_No_Servidor"), 1);

    // A second delivery of known keys updates them; a new key is inserted.
    m_admin->LoadPacket(kAliquota, Aliquotas(2, 4, QStringLiteral("Nova")));
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Rows, 3);
    EXPECT_EQ(Table(run, kAliquota).RowsUpdated, 2);
    EXPECT_EQ(Query("SELECT PKALIQUOTA, NMALIQUOTA FROM TBALIQUOTA ORDER BY 1"),
              QStringList({"1|Aliq 1", "2|Nova 2", "3|Nova 3", "4|Nova 4"}));
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(StoreCarrierTest, ReadsBatchesOfThePacketSizeAndAcknowledgesEachOnce)
{
    QList<QList<QVariant>> rows;
    for (int k = 1; k <= 1500; ++k)
        rows.append({k, kStore, QStringLiteral("Aliquota %1").arg(k), QStringLiteral("%1.25").arg(k % 90)});
    m_admin->LoadPacket(kAliquota, Packet(kAliquotaFields, rows));

    TRunResult run = Run();
    const TTableResult& t = Table(run, kAliquota);
    EXPECT_EQ(t.Outcome, TTableOutcome::Done);
    EXPECT_EQ(t.Batches, 2);
    EXPECT_EQ(t.Acknowledged, 2);
    EXPECT_EQ(t.Rows, 1500);
    EXPECT_EQ(Calls("Exclui_No_Servidor", kAliquota), 2);
    EXPECT_EQ(Calls("AS_GetRecords", kAliquota), 3); // the third batch is empty
    EXPECT_EQ(Query("SELECT COUNT(*), MAX(PKALIQUOTA), SUM(PEALIQUOTA) FROM TBALIQUOTA"),
              QStringList({"1500|1500|66285.00"}));

    // Exactly one packet of rows: a second pass finds nothing, one acknowledgement.
    WriteConfig(4);
    m_admin->LoadPacket(kAliquota, Aliquotas(2001, 2004, QStringLiteral("Quatro")));
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Batches, 1);
    EXPECT_EQ(Calls("Exclui_No_Servidor", kAliquota), 3);
    EXPECT_EQ(Calls("AS_GetRecords", kAliquota), 5);
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(StoreCarrierTest, PagedTablesAskOnlyForKeysAboveTheirGreatestLocalKey)
{
    // Local rows the server must not overwrite: everything up to the greatest
    // key of the store range (for serials, among rows with a sale value).
    for (int k = 1; k <= 3; ++k)
        Exec(QStringLiteral("INSERT INTO TBPROMOCAO VALUES (%1, 'local')").arg(k));
    Exec("INSERT INTO TBPROMOCAO VALUES (1000001, 'matriz')");
    Exec("INSERT INTO TBPRECOSERIAL VALUES (5, 'local', 1)");
    Exec("INSERT INTO TBPRECOSERIAL VALUES (8, 'sem valor', 0)");
    Exec("INSERT INTO TBPRECOSERIAL VALUES (100000001, 'matriz', 1)");
    m_admin->LoadPacket(kPromocao, Named(u"PKPROMOCAO int K; NMPROMOCAO str 100", 1, 6, QStringLiteral("servidor")));
    m_admin->LoadPacket(kPrecoSerial, Packet(u"PKPRECOSERIAL int K; NRSERIAL str 30; VLVENDA dec 15.3",
                                             {{4, "s4", "2.000"}, {8, "s8", "2.000"}, {9, "s9", "2.000"}}));
    WriteConfig(2);

    TRunResult run = Run();
    const TTableResult& promocao = Table(run, kPromocao);
    EXPECT_EQ(promocao.Outcome, TTableOutcome::Done);
    EXPECT_EQ(promocao.Pending, 3);
    EXPECT_EQ(promocao.Batches, 2); // 4 and 5, then 6
    EXPECT_EQ(Query("SELECT PKPROMOCAO, NMPROMOCAO FROM TBPROMOCAO ORDER BY 1"),
              QStringList({"1|local", "2|local", "3|local", "4|servidor 4", "5|servidor 5", "6|servidor 6",
                           "1000001|matriz"}));
    EXPECT_EQ(Table(run, kPrecoSerial).Pending, 2);
    EXPECT_EQ(Query("SELECT PKPRECOSERIAL, NRSERIAL, VLVENDA FROM TBPRECOSERIAL ORDER BY 1"),
              QStringList({"5|local|1.000", "8|s8|2.000", "9|s9|2.000", "100000001|matriz|1.000"}));
    // Never acknowledged: the local last key is what moves them on.
    EXPECT_EQ(Calls("Exclui_No_Servidor"), 0);
    EXPECT_EQ(Calls("AS_GetRecords", kPromocao), 3);
    EXPECT_EQ(Calls("AS_GetRecords", kPrecoSerial), 2);
    EXPECT_TRUE(TakeLogs().isEmpty());

    run = Run();
    EXPECT_EQ(Table(run, kPromocao).Outcome, TTableOutcome::NothingPending);
    EXPECT_EQ(Table(run, kPrecoSerial).Outcome, TTableOutcome::NothingPending);
}

TEST_F(StoreCarrierTest, DeclinedTablesAndCountsOfZeroOrLessEndTheTableOnlyMinusOneIsLogged)
{
    m_admin->LoadPacket(kServico, Named(kServicoFields, 1, 2, QStringLiteral("s")));
    m_admin->LoadPacket(kRemuneracao, Named(u"PKREMUNERACAO int K; NMREMUNERACAO str 50", 1, 2, QStringLiteral("r")));
    m_admin->LoadPacket(kClassificacao, Named(u"PKCLASSIFICACAO int K; NMCLASSIFICACAO str 50", 1, 2, QStringLiteral("c")));
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 2, QStringLiteral("a")));
    Fault("ReplicaTabela", kServico, "false");
    Fault("NrRegistros_AImportar", kRemuneracao, "value", true, 1, -5);
    Fault("NrRegistros_AImportar", kClassificacao, "minus1");
    m_bar.SetPosition(9);

    const TRunResult run = Run();
    EXPECT_EQ(Table(run, kServico).Outcome, TTableOutcome::Declined);
    EXPECT_EQ(Table(run, kRemuneracao).Outcome, TTableOutcome::NothingPending);
    EXPECT_EQ(Table(run, kRemuneracao).Pending, -5);
    EXPECT_EQ(Table(run, kClassificacao).Outcome, TTableOutcome::CountFailed);
    // The run goes on after a failed count.
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Calls("NrRegistros_AImportar", kServico), 0);
    for (const QString& table : {kServico, kRemuneracao, kClassificacao})
        EXPECT_EQ(Calls("AS_GetRecords", table), 0) << qPrintable(table);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBSERVICO"), QStringList({"0"}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBREMUNERACAO"), QStringList({"0"}));
    EXPECT_EQ(m_bar.Position(), 0);

    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1) << qPrintable(Steps(logs).join(u','));
    EXPECT_EQ(logs[0].Step, "ListaProviders");
    EXPECT_EQ(logs[0].Table, kClassificacao);
    EXPECT_EQ(logs[0].Message, ServerFailureText());
    EXPECT_EQ(m_dm->CadClient->LastError(), ServerFailureText());
}

TEST_F(StoreCarrierTest, RefusalsOfTheServerAreLoggedAndLoseNoRow)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 3, QStringLiteral("a")));

    // An installation the server does not know: one entry, no table touched.
    WriteConfig(1000, QStringLiteral("OUTRO"));
    TRunResult run = Run();
    EXPECT_FALSE(run.Accepted);
    EXPECT_TRUE(run.Tables.isEmpty());
    EXPECT_EQ(Calls("Get_ProvidersCount"), 0);
    QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, "InicialReplicacaoCadastro");
    EXPECT_EQ(logs[0].Message, ServerFailureText());

    // A refused acknowledgement: the rows are written and offered again.
    WriteConfig();
    Fault("Exclui_No_Servidor", kAliquota, "false");
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Refused);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"3"}));
    logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, "Excluir_Servidor");
    EXPECT_EQ(logs[0].Table, kAliquota);
    EXPECT_EQ(logs[0].Message, ServerFailureText());

    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Pending, 3);
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Done);
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NothingPending);

    // Nobody listening: the connection failure is the run's one entry.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const int deadPort = closed.serverPort();
    closed.close();
    WriteConfig(1000, QStringLiteral("K1"), deadPort);
    run = Run();
    EXPECT_FALSE(run.Accepted);
    logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, "InicialReplicacaoCadastro");
    EXPECT_FALSE(logs[0].Message.isEmpty());

    // A log that cannot be written ends the run with the error; the remote
    // side is closed all the same.
    WriteConfig(1000, QStringLiteral("OUTRO"));
    ASSERT_TRUE(QDir(m_installation.File("Log")).removeRecursively());
    EXPECT_THROW(m_dm->RunCadChannel(), EFCreateError);
    ExpectClosed();
}

TEST_F(StoreCarrierTest, AConnectionDroppedMidTableLosesNothingAndTheNextRunConverges)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 5, QStringLiteral("a")));
    WriteConfig(2);
    Fault("Exclui_No_Servidor", kAliquota, "drop", true, 2);

    TRunResult run = Run();
    const TTableResult& t = Table(run, kAliquota);
    EXPECT_EQ(t.Outcome, TTableOutcome::Failed);
    EXPECT_EQ(t.Acknowledged, 1);
    EXPECT_EQ(t.Rows, 4);
    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs[0].Step, "ImportaRegistros 003");
    EXPECT_EQ(logs[0].Table, kAliquota);

    // The batch whose acknowledgement was lost comes again, with the rest.
    m_admin->LoadPacket(kAliquota, Aliquotas(4, 4, QStringLiteral("b")));
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Pending, 3);
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Query("SELECT PKALIQUOTA, NMALIQUOTA FROM TBALIQUOTA ORDER BY 1"),
              QStringList({"1|a 1", "2|a 2", "3|a 3", "4|b 4", "5|a 5"}));
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NothingPending);
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(StoreCarrierTest, AMalformedPacketOrAHostileFieldNameWritesNothingAndIsNotAcknowledged)
{
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 2, QStringLiteral("a")));
    m_admin->LoadPacket(kServico, Named(kServicoFields, 1, 2, QStringLiteral("s")));
    m_admin->LoadPacket(kRemuneracao, Named(u"PKREMUNERACAO int K; NMREMUNERACAO str 50", 1, 2, QStringLiteral("r")));
    Fault("AS_GetRecords", kAliquota, "malformed");
    Fault("AS_GetRecords", kServico, "hostile");

    TRunResult run = Run();
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::Failed);
    EXPECT_EQ(Table(run, kServico).Outcome, TTableOutcome::Failed);
    EXPECT_EQ(Table(run, kRemuneracao).Outcome, TTableOutcome::Done);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBALIQUOTA"), QStringList({"0"}));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM TBSERVICO"), QStringList({"0"}));
    EXPECT_EQ(Calls("Exclui_No_Servidor", kAliquota), 0);
    EXPECT_EQ(Calls("Exclui_No_Servidor", kServico), 0);

    const QList<TLogEntry> logs = TakeLogs();
    EXPECT_EQ(Steps(logs), QStringList({"TBALIQUOTA ImportaRegistros Open 003", "TBALIQUOTA ImportaRegistros 003",
                                        "TBSERVICO ImportaRegistros MontaSQL 003",
                                        "TBSERVICO ImportaRegistros MontaInsert 003",
                                        "TBSERVICO ImportaRegistros MontaUpdate 003"}));
    for (const TLogEntry& e : logs) {
        if (e.Table == kAliquota) {
            // The packet's own complaint, not a generic one.
            EXPECT_EQ(e.Message, logs[0].Message);
            EXPECT_FALSE(e.Message.contains(QLatin1String("closed dataset"))) << qPrintable(e.Message);
        } else {
            EXPECT_TRUE(e.Message.contains(QLatin1String("DSSERVICO--"))) << qPrintable(e.Message);
        }
    }

    // Nothing was lost: once the server behaves, every row arrives.
    run = Run();
    EXPECT_EQ(Table(run, kAliquota).Rows, 2);
    EXPECT_EQ(Table(run, kServico).Rows, 2);
    EXPECT_TRUE(TakeLogs().isEmpty());
}

TEST_F(StoreCarrierTest, IdentityRewrittenByTheServerServesTheRestOfTheRun)
{
    m_admin->AddInstallation(QStringLiteral("K1"), 1, kStore, QStringLiteral("VIVO_BA"),
                             QJsonObject{{"UF", "CLARO_SP"}, {"PkFilial", 13}});
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 2, QStringLiteral("loja 12")), kStore);
    m_admin->LoadPacket(kAliquota, Aliquotas(7, 8, QStringLiteral("loja 13")), 13);
    m_admin->LoadPacket(kClassificacao, Named(u"PKCLASSIFICACAO int K; NMCLASSIFICACAO str 50", 1, 1, QStringLiteral("c")));
    Fault("NrRegistros_AImportar", kClassificacao, "minus1");

    TRunResult run = Run();
    // Counted, fetched and acknowledged as branch 13.
    EXPECT_EQ(Table(run, kAliquota).Pending, 2);
    EXPECT_EQ(Query("SELECT PKALIQUOTA, NMALIQUOTA FROM TBALIQUOTA ORDER BY 1"),
              QStringList({"7|loja 13 7", "8|loja 13 8"}));
    EXPECT_EQ(m_dm->CadClient->DadosFilial().UF, "CLARO_SP");
    const QList<TLogEntry> logs = TakeLogs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs[0].File.startsWith(QLatin1String("Log_13_CLARO_SP_TBCLASSIFICACAO_"))) << qPrintable(logs[0].File);
    EXPECT_EQ(logs[0].PkFilial, "13");
    EXPECT_EQ(logs[0].UF, "CLARO_SP");

    // The next run starts again from Config.ini and is rewritten again.
    run = Run();
    EXPECT_TRUE(run.Accepted);
    EXPECT_EQ(Table(run, kAliquota).Outcome, TTableOutcome::NothingPending);
}

// The same rows, entries and acknowledgement whether each statement takes
// effect on its own or each batch is one transaction.
TEST_F(StoreCarrierTest, ARowThatCannotBeWrittenIsLoggedWithItsKeyAndTheBatchStillAcknowledged)
{
    for (const char* perBatch : {"1", "0"}) {
        SCOPED_TRACE(perBatch);
        m_installation.Write(QStringLiteral("Config.ini"), m_installation.Read(QStringLiteral("Config.ini"))
                                                               + "TransacaoPorLote=" + perBatch + "\n");
        Exec(QStringLiteral("DELETE FROM TBSERVICO"));
        // The local column holds 10 characters.
        m_admin->LoadPacket(kServico, Packet(kServicoFields, {{1, "curto"}, {2, "longo demais para a loja"}, {3, "ok"}}));
        TRunResult run = Run();
        const TTableResult& t = Table(run, kServico);
        EXPECT_EQ(t.Outcome, TTableOutcome::Done);
        EXPECT_EQ(t.Rows, 2);
        EXPECT_EQ(t.RowsFailed, 1);
        EXPECT_EQ(t.Acknowledged, 1);
        EXPECT_EQ(Query("SELECT PKSERVICO FROM TBSERVICO ORDER BY 1"), QStringList({"1", "3"}));
        const QList<TLogEntry> logs = TakeLogs();
        ASSERT_EQ(logs.size(), 1);
        EXPECT_EQ(logs[0].Step, "ImportaRegistros SQlExecuta.ExecSQL 003");
        EXPECT_TRUE(logs[0].Message.endsWith(QLatin1String("Registro: PKSERVICO=2"))) << qPrintable(logs[0].Message);

        run = Run();
        EXPECT_EQ(Table(run, kServico).Outcome, TTableOutcome::NothingPending);
    }
}

TEST_F(StoreCarrierTest, APassWithoutProgressEndsTheTableUntilTheNextRun)
{
    // A server that keeps offering acknowledged rows.
    m_admin->LoadPacket(kAliquota, Aliquotas(1, 3, QStringLiteral("a")));
    Fault("AS_GetRecords", kAliquota, "repeat", /*once=*/false);
    // A paged table whose rows cannot be written, so its last key stays.
    m_admin->LoadPacket(kPromocao, Packet(u"PKPROMOCAO int K; NMPROMOCAO str 200",
                                          {{1, QString(150, u'x')}, {2, QString(150, u'y')}}));
    // A paged table whose new row lies outside the store's range of keys.
    m_admin->LoadPacket(kPrecoSerial, Packet(u"PKPRECOSERIAL int K; NRSERIAL str 30; VLVENDA dec 15.3",
                                             {{3, "s3", "1.000"}, {4, "s4", "0.000"}}));

    TRunResult run = Run();
    const TTableResult& aliquota = Table(run, kAliquota);
    EXPECT_EQ(aliquota.Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(aliquota.Acknowledged, 1);
    EXPECT_EQ(aliquota.Rows, 3);
    EXPECT_EQ(Calls("AS_GetRecords", kAliquota), 2);
    EXPECT_EQ(Table(run, kPromocao).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Calls("AS_GetRecords", kPromocao), 1);
    // Key 3 moves the last key on; key 4 has no sale value, so it never counts
    // and comes again in the next pass.
    EXPECT_EQ(Table(run, kPrecoSerial).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Query("SELECT PKPRECOSERIAL FROM TBPRECOSERIAL ORDER BY 1"), QStringList({"3", "4"}));

    QList<TLogEntry> logs = TakeLogs();
    QStringList noProgress;
    for (const TLogEntry& e : logs)
        if (e.Step == kStepSemProgresso)
            noProgress.append(e.Table);
    noProgress.sort();
    EXPECT_EQ(noProgress, QStringList({kAliquota, kPrecoSerial, kPromocao}));

    // Tried again in the next run, and bounded again.
    run = Run();
    EXPECT_EQ(Table(run, kPromocao).Outcome, TTableOutcome::NoProgress);
    EXPECT_EQ(Table(run, kPrecoSerial).Outcome, TTableOutcome::NoProgress);
}
