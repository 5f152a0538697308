// The program with an operator's hand on the tray menu: once the loop runs,
// "Abrir" shows the window and "Fechar" is chosen with it open.
#include "app/Program.h"
#include "app/uMenu.h"

#include <QAction>

int main(int argc, char** argv)
{
    return RunProgram(argc, argv, [](TFMenu& menu) {
        menu.Abrir1->trigger();
        menu.Fechar1->trigger();
    });
}
