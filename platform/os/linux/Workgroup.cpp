#include "platform/os/Workgroup.h"

#include <QFile>

#include <unistd.h>

namespace {

QString NisDomainName()
{
    char buffer[256] = {};
    if (getdomainname(buffer, sizeof buffer - 1) != 0)
        return {};
    const QString name = QString::fromLocal8Bit(buffer).trimmed();
    return name == u"(none)" ? QString() : name;
}

} // namespace

QString WorkgroupNameFrom(const QString& smbConfPath)
{
    QFile file(smbConfPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString workgroup = SambaWorkgroup(file.readAll());
        if (!workgroup.isEmpty())
            return workgroup;
    }
    return NisDomainName();
}
