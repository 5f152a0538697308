#include "app/Program.h"

#include "app/CommandLine.h"
#include "app/ErrorBox.h"
#include "app/ShellServices.h"
#include "platform/os/StopSignals.h"
#include "app/uMenu.h"
#include "connections/uDM.h"
#include "platform/os/InstallationLock.h"
#include "platform/os/MessageBox.h"
#include "platform/os/ProgramFolder.h"
#include "platform/os/SingleInstance.h"
#include "replication/core/ProcessMessages.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <QThread>
#include <QTimer>

#include <cstdio>

#include <memory>

int RunProgram(int argc, char** argv, const std::function<void(TFMenu&)>& looping)
{
    if (const std::optional<int> exitCode = HandleCommandLine(argc, argv))
        return *exitCode;
    // Before any thread exists, so that every thread inherits the mask.
    StopSignals::Block();
    // Before the application object: a second instance must not even need a display.
    auto instance = std::make_unique<TSingleInstance>(QStringLiteral("KeltAppClient"));
    if (!instance->Acquired())
        return 0;

    TKeltApplication app(argc, argv);
    // The window lives hidden in the tray; only "Fechar" ends the loop.
    app.setQuitOnLastWindowClosed(false);
    // SIGTERM or SIGINT ends the loop as "Fechar" does; a running channel stops
    // at its next safe point, and whatever does not reach one is ended.
    StopSignals::Watch(&app, [](int) {
        QCoreApplication::exit(0);
        StopSignals::EndWithin(5000, 0);
    });
    SetProcessMessagesHook([] { StopSignals::ProcessEventsOrStop(); });
    // The installation's lock, shared with kelt-cycle: a run of it holding this
    // folder ends within minutes, so the program waits rather than run beside it.
    TInstallationLock installation(ProgramFolder());
    if (!installation.Acquired() && installation.Error().isEmpty())
        std::fprintf(stderr, "KeltAppClient: the installation %s is in use by kelt-cycle; waiting for it to end\n",
                     qPrintable(installation.Folder()));
    while (!installation.Acquired() && installation.Error().isEmpty() && !installation.TryAcquire()) {
        if (StopSignals::Requested())
            return 0;
        QCoreApplication::processEvents();
        QThread::msleep(200);
    }
    TShellProcesses processes;
    SetProcesses(&processes);
    SetShowMessageHook(ShowPlainMessageBox);
    SetErrorBoxHook(ShowErrorMessageBox);

    {
        TFDM FDM;
        TFDM_MovimentoM FDM_MovimentoM(&FDM.SqlCAgente);
        TFDM_CadastroM FDM_CadastroM(&FDM.SqlCAgente);
        FDM.SetMovimentoMModule(&FDM_MovimentoM);
        FDM.SetCadastroMModule(&FDM_CadastroM);

        TFMenu FMenu(FDM);
        FMenu.show();
        if (looping)
            QTimer::singleShot(0, &FMenu, [&FMenu, &looping] { looping(FMenu); });
        // A request noticed during the start-up found no loop to end.
        if (!StopSignals::Requested())
            app.exec();
        instance.reset();
        // The window goes first, then the modules, in the reverse order of creation.
    }
    SetShowMessageHook({});
    SetErrorBoxHook({});
    SetProcessMessagesHook({});
    SetProcesses(nullptr);
    return 0;
}
