#include "platform/os/Autostart.h"

#include <QDir>
#include <QSettings>

bool WriteAutostartEntry(const QString& name, const QString& executablePath)
{
    QSettings run(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
                  QSettings::NativeFormat);
    run.setValue(name, QStringLiteral("\"") + QDir::toNativeSeparators(executablePath) + QStringLiteral("\""));
    run.sync();
    return run.status() == QSettings::NoError;
}
