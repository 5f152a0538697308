#include "platform/os/Workgroup.h"

#include <windows.h>
#include <lm.h>

// The system knows its workgroup; no Samba configuration is read.
QString WorkgroupNameFrom(const QString& smbConfPath)
{
    Q_UNUSED(smbConfPath);
    QString name;
    WKSTA_INFO_100* info = nullptr;
    if (NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info)) == NERR_Success && info) {
        name = QString::fromWCharArray(info->wki100_langroup);
        NetApiBufferFree(info);
    }
    return name;
}
