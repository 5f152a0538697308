#include "Autostart.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#ifdef _WIN32
#include <QSettings>
#endif

namespace {

// The general escapes of a desktop entry string value.
QString EscapeValue(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\': out += QStringLiteral("\\\\"); break;
        case u'\n': out += QStringLiteral("\\n"); break;
        case u'\r': out += QStringLiteral("\\r"); break;
        case u'\t': out += QStringLiteral("\\t"); break;
        default: out += c;
        }
    }
    return out;
}

QString ConfigHome()
{
    // The spec of the base directories says a relative value is to be ignored.
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

// The name lands in a file name and must stay one.
bool PlainFileName(const QString& name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') && !name.contains(QChar(0));
}

} // namespace

QString DesktopExecArgument(const QString& path)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    return EscapeValue(quoted).replace(u'%', QStringLiteral("%%"));
}

QString AutostartEntryPath(const QString& name)
{
    return ConfigHome() + QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

bool WriteAutostartEntry(const QString& name, const QString& executablePath)
{
#ifdef _WIN32
    QSettings run(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
                  QSettings::NativeFormat);
    run.setValue(name, QStringLiteral("\"") + QDir::toNativeSeparators(executablePath) + QStringLiteral("\""));
    run.sync();
    return run.status() == QSettings::NoError;
#else
    if (!PlainFileName(name))
        return false;
    const QString path = AutostartEntryPath(name);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=%1\n"
                                        "Exec=%2\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(EscapeValue(name), DesktopExecArgument(executablePath));
    // Written whole or not at all: a half-written entry would start nothing.
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
#endif
}
