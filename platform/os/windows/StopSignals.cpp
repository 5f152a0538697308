#include "platform/os/StopSignals.h"

#include "platform/os/Processes.h"

// No signal masks and no signalfd here: nothing to block, watch or undo in
// a started program.
namespace StopSignals {

void Block() {}

bool Watch(QObject* parent, std::function<void(int)> onStop)
{
    Q_UNUSED(parent);
    Q_UNUSED(onStop);
    return false;
}

void UnblockInChild() {}

void UnblockInChildOf(QProcess& process) { Q_UNUSED(process); }

bool StartProgram(const QString& file, const QStringList& parameters, bool wait, bool maximised, QString& error)
{
    return TSystemProcesses().Start(file, parameters, wait, maximised, error);
}

} // namespace StopSignals
