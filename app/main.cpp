// KeltAppClient: the tray-resident replication client. One instance per user;
// a second start ends at once, silently, with exit code 0.
#include "app/ErrorBox.h"
#include "app/ShellServices.h"
#include "app/uMenu.h"
#include "config/uDM.h"
#include "platform/os/MessageBox.h"
#include "platform/os/SingleInstance.h"
#include "replication/core/ProcessMessages.h"
#include "replication/master_data/uDM_CadastroM.h"
#include "replication/transactions/uDM_MovimentoM.h"

#include <memory>

int main(int argc, char** argv)
{
    // Before the application object: a second instance must not even need a display.
    auto instance = std::make_unique<TSingleInstance>(QStringLiteral("KeltAppClient"));
    if (!instance->Acquired())
        return 0;

    TKeltApplication app(argc, argv);
    // The window lives hidden in the tray; only "Fechar" ends the loop.
    app.setQuitOnLastWindowClosed(false);
    SetProcessMessagesHook([] { QCoreApplication::processEvents(); });
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
        app.exec();
        instance.reset();
        // The window goes first, then the modules, in the reverse order of creation.
    }
    SetShowMessageHook({});
    SetErrorBoxHook({});
    SetProcessMessagesHook({});
    return 0;
}
