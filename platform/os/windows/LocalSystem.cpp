#include "platform/os/LocalSystem.h"

bool FileNamesIgnoreCase() { return true; }

QString VendorFolder() { return QStringLiteral("C:\\ZELVOMARTIS\\"); }

QString DatabaseServiceCommand() { return QStringLiteral("net start \"Firebird Guardian - DefaultInstance\""); }
