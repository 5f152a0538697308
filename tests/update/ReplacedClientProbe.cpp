// A client whose file is replaced while it runs, as the installer does: it
// prints the version it would send and then hands over to the updater in its
// folder. Ending itself there is the expected way out; exit code 3 means it
// survived.
#include "update/KeltUpdate.h"

#include "platform/os/ProgramFolder.h"
#include "platform/os/Processes.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString own = OwnExecutablePath();
    QFile::remove(own);
    QFile replaced(own);
    if (!replaced.open(QIODevice::WriteOnly) || replaced.write("the new client\n") < 0)
        return 2;
    replaced.close();

    SetProgramFolderOverride(app.arguments().value(1));
    TKeltUpdate update;
    update.SetFileName(QStringLiteral("updater.sh"));
    QTextStream(stdout) << update.OwnVersion() << Qt::endl;
    update.Install(true);
    return 3;
}
