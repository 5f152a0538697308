#pragma once

#include <QByteArray>
#include <QString>

// The workgroup (domain) the machine belongs to. Windows: NetWkstaGetInfo.
// Linux: `workgroup` of the [global] section of Samba's configuration
// (/etc/samba/smb.conf) when set, else the NIS domain name ("(none)" counts as
// unset), else empty.
QString WorkgroupName();

// As WorkgroupName with Samba's configuration read from `smbConfPath`.
QString WorkgroupNameFrom(const QString& smbConfPath);

// The `workgroup` of the [global] section of an smb.conf text, empty when unset.
// Samba's rules: names without regard to case or blanks, '#' and ';' comments,
// a trailing '\' continues the line, the last setting wins, and settings before
// the first section belong to [global].
QString SambaWorkgroup(const QByteArray& smbConf);
