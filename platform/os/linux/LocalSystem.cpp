#include "platform/os/LocalSystem.h"

bool FileNamesIgnoreCase() { return false; }

QString VendorFolder() { return QStringLiteral("/opt/zelvomartis/"); }

QString DatabaseServiceCommand() { return qEnvironmentVariable("KELT_DB_SERVICE_COMMAND"); }
