#pragma once

#include <QString>

// Registers `executablePath` to start at the user's logon under `name`,
// replacing an earlier entry of that name. Windows: the string value `name`
// under HKCU\Software\Microsoft\Windows\CurrentVersion\Run, the path in double
// quotes. Linux: the XDG autostart entry $XDG_CONFIG_HOME/autostart/<name>.desktop
// (~/.config when unset), whose Exec is the quoted path; the folder is created.
// Returns false, and reports nothing, when the entry cannot be written.
bool WriteAutostartEntry(const QString& name, const QString& executablePath);

// The path of the Linux entry for `name`.
QString AutostartEntryPath(const QString& name);

// The text of the Linux entry that starts `executablePath` under `name`.
QString DesktopEntryText(const QString& name, const QString& executablePath);

// `path` as one quoted argument of a desktop entry's Exec key, with the
// escaping freedesktop.org desktop entries use for Exec ("\"$`" escaped inside the
// quotes, then the string escapes of the file, '%' doubled for field codes).
QString DesktopExecArgument(const QString& path);
