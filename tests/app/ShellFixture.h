#pragma once

// An installation for the main window: program folder with Config.ini and
// Log/, an embedded AGENTE.KELT with the tables the start-up upkeep touches,
// and the window's services replaced where they would block a test (dialogs,
// the tray, ending the process). No application server listens on the
// configured port, so every channel that runs logs its first step and ends.

#include "app/ErrorBox.h"
#include "app/uMenu.h"
#include "connections/uDM.h"
#include "platform/os/Clock.h"
#include "platform/os/ProgramFolder.h"
#include "replication/core/ProcessMessages.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

// Each reading of the time a second later, so that no log file replaces another.
class TShellClock : public IClock
{
public:
    QDate CurrentDate() override { return QDate(2024, 3, 5); }
    QTime CurrentTime() override { return QTime(8, 0).addSecs(m_ticks++); }
    void Sleep(int ms) override { Slept.append(ms); }
    QList<int> Slept;

private:
    int m_ticks = 0;
};

class TFakeDialogs : public IShellDialogs
{
public:
    TAnswer ConfirmReplication(const QString& text) override
    {
        Asked.append(text);
        return Answer;
    }
    void ShowReplicationError(const QString& text) override { Errors.append(text); }

    TAnswer Answer = TAnswer::Yes;
    QStringList Asked;
    QStringList Errors;
};

// What the window looked like at one moment of a run.
struct TSnapshot
{
    int IconIndex;
    bool MenuAttached;
    bool TimerEnabled;
    bool InTray;
    int SelectedChannel;
};

class ShellTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", m_home.Path().toLocal8Bit());
        qputenv("KELT_LEGACY_CONFIG", m_home.File(QStringLiteral("legacy.ini")).toLocal8Bit());
        qputenv("KELT_DB_SERVICE_COMMAND", "kelt-db-service start");
        SetClock(&m_clock);
        SetProgramFolderOverride(m_installation.Path());
        SetErrorBoxHook([this](const QString& text) { m_errorBoxes.append(text); });
        SetProcessMessagesHook([this] {
            if (m_menu)
                m_snapshots.append(Snapshot());
        });
        ASSERT_TRUE(QDir(m_installation.Path()).mkdir(QStringLiteral("Log")));
        BuildDatabase(LocalPath(), ParseSchemaText(QStringLiteral("TBFILIAL (PKFILIAL): PKFILIAL int K; SGESTADO str 2\n"
                                                                  "TBRESPOSTA (PKPERGUNTA): PKPERGUNTA int K; RESPOSTA str 500\n"
                                                                  "TBVENDA (PKVENDA): PKVENDA int K; FINANCEIROPENDENTE int\n")),
                      /*forcedWrites=*/false);
        QTcpServer closed; // a port nobody listens on once it is closed again
        ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
        m_deadPort = closed.serverPort();
        closed.close();
        m_services.Dialogs = m_dialogs;
        m_services.Workgroup = [this] { return m_workgroup; };
        m_services.StartProcess = [this](const QString& line, quint16, bool wait) {
            m_commands.append(line);
            if (m_menu)
                m_atCommand.append(Snapshot());
            return wait;
        };
        m_services.Quit = [this] { ++m_quits; };
        m_services.TrayAvailable = [this] { return m_trayAvailable; };
    }

    void TearDown() override
    {
        m_menu.reset();
        m_fdm.reset();
        SetProcessMessagesHook({});
        SetErrorBoxHook({});
        SetProgramFolderOverride({});
        SetClock(nullptr);
        qunsetenv("KELT_DB_SERVICE_COMMAND");
    }

    QString LocalPath() const { return m_installation.File(QStringLiteral("AGENTE.KELT")); }

    // `tpFilial` empty leaves the key out.
    void WriteConfig(const QString& tpFilial, const QString& contrato = QStringLiteral("1234"),
                     const QString& database = {})
    {
        QString text = QStringLiteral("[FILIAL]\nCDCONTRATO=%1\nPKEMPRESA=1\nPKFILIAL=7\nUF=VIVO_BA\n").arg(contrato);
        if (!tpFilial.isEmpty())
            text += QStringLiteral("TPFILIAL=%1\n").arg(tpFilial);
        text += QStringLiteral("[SINCRONIZACAO]\nTempoSincronizacao=5\n[SOCKET]\nAddress=127.0.0.1\nPort=%1\n"
                               "[DB]\nDataBase=%2\nUser_Name=SYSDBA\nPassword=quillbent\nServerCharSet=ISO8859_1\n"
                               "SQLDialect=3\n")
                    .arg(m_deadPort)
                    .arg(database.isEmpty() ? LocalPath() : database);
        m_installation.Write(QStringLiteral("Config.ini"), text.toUtf8());
    }

    // The program's creation order; `withCadastroM` false leaves the
    // master-data module out, so that its channel fails.
    TFMenu& Create(bool withCadastroM = true)
    {
        m_menu.reset();
        m_fdm = std::make_unique<TFDM>();
        m_movimento.SetSQLConnection(&m_fdm->SqlCAgente);
        m_cadastro.SetSQLConnection(&m_fdm->SqlCAgente);
        m_fdm->SetMovimentoMModule(&m_movimento);
        if (withCadastroM)
            m_fdm->SetCadastroMModule(&m_cadastro);
        m_menu = std::make_unique<TFMenu>(*m_fdm, m_services);
        m_menu->show();
        m_snapshots.clear();
        m_atCommand.clear();
        m_commands.clear();
        return *m_menu;
    }

    TSnapshot Snapshot() const
    {
        return {m_menu->JvTrayIcon1->IconIndex(), m_menu->JvTrayIcon1->PopupMenu() != nullptr,
                m_menu->Timer1Enabled(), m_menu->InTray(), m_menu->SelectedChannel};
    }

    // First step of each log file written so far, oldest first; the files are removed.
    QStringList TakeLoggedSteps()
    {
        QStringList steps;
        QDir dir(m_installation.File(QStringLiteral("Log")));
        QStringList names = dir.entryList({QStringLiteral("Log_*.ini")}, QDir::Files);
        // By the time at the end of the name ("..._08_00_03.ini"), which the clock makes unique.
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) { return a.right(12) < b.right(12); });
        for (const QString& name : names) {
            steps.append(QString::fromLocal8Bit(m_installation.Read(QStringLiteral("Log/") + name))
                             .section(QStringLiteral("\r\n"), 0, 0)
                             .remove(QStringLiteral("Metodo: ")));
            dir.remove(name);
        }
        return steps;
    }

    TTempFolder m_installation;
    TTempFolder m_home;
    TShellClock m_clock;
    int m_deadPort = 0;
    std::shared_ptr<TFakeDialogs> m_dialogs = std::make_shared<TFakeDialogs>();
    QString m_workgroup = QStringLiteral("WORKGROUP");
    bool m_trayAvailable = true;
    int m_quits = 0;
    QStringList m_commands;
    QList<TSnapshot> m_atCommand;
    QList<TSnapshot> m_snapshots;
    QStringList m_errorBoxes;
    TShellServices m_services;
    TFDM_MovimentoM m_movimento;
    TFDM_CadastroM m_cadastro;
    std::unique_ptr<TFDM> m_fdm;
    std::unique_ptr<TFMenu> m_menu;
};
