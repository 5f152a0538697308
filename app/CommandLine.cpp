#include "app/CommandLine.h"

#include "platform/os/FileVersion.h"
#include "platform/os/Processes.h"

#include <QSet>
#include <QString>

#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: KeltAppClient [--help] [--version]\n"
    "The replication client of one installation: a window in the notification area that runs the\n"
    "replication cycle every [SINCRONIZACAO] TempoSincronizacao minutes. The installation is the\n"
    "folder of the executable (Config.ini, Log/). One instance per user; a second start ends at once.\n"
    "\n"
    "  -h, --help     this text\n"
    "  -v, --version  the program's version\n"
    "\n"
    "Options of the Qt toolkit (-platform NAME, -style NAME, ...) are passed to it.\n"
    "Exit status: 0, or 2 for an unknown option.\n";

// The toolkit's own options, with and without a value.
const QSet<QString> kToolkitValued = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                      "qwindowtitle", "qwindowicon", "display", "geometry", "title", "name", "style",
                                      "stylesheet", "session"};
const QSet<QString> kToolkitFlags = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

int Refuse(const QString& what)
{
    std::fprintf(stderr, "KeltAppClient: %s\n%s", what.toLocal8Bit().constData(), kUsage);
    return 2;
}

} // namespace

std::optional<int> HandleCommandLine(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == QLatin1String("--version") || arg == QLatin1String("-v")) {
            const QString version = FileVersionText(OwnExecutablePath(), QStringLiteral("%d.%d.%d.%d"));
            std::printf("KeltAppClient %s\n", version.isEmpty() ? "(no version)" : version.toLocal8Bit().constData());
            return 0;
        }
        if (!arg.startsWith(u'-') || arg.startsWith(QLatin1String("--")))
            return Refuse(arg.startsWith(u'-') ? QStringLiteral("unknown option %1").arg(arg)
                                               : QStringLiteral("unexpected argument %1").arg(arg));
        const QString name = arg.mid(1).section(u'=', 0, 0);
        if (kToolkitFlags.contains(name))
            continue;
        if (!kToolkitValued.contains(name))
            return Refuse(QStringLiteral("unknown option %1").arg(arg));
        if (!arg.contains(u'=') && ++i >= argc)
            return Refuse(QStringLiteral("option %1 needs a value").arg(arg));
    }
    return std::nullopt;
}
