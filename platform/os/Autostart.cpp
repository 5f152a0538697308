#include "Autostart.h"

#include <QDir>

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

QString DesktopEntryText(const QString& name, const QString& executablePath)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=%1\n"
                          "Exec=%2\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(EscapeValue(name), DesktopExecArgument(executablePath));
}
