#pragma once

#include <QString>

// What the machine decides rather than the program: how it names files, where
// the maker's software lives, how its database service starts.

// True where one file name in any mix of case names one file (Windows).
bool FileNamesIgnoreCase();

// The folder the maker's software shares on this machine, with a trailing
// separator: C:\ZELVOMARTIS\ on Windows, /opt/zelvomartis/ elsewhere.
QString VendorFolder();

// The command that starts the local database service before the upkeep and
// each cycle. On Windows the Firebird Guardian service; elsewhere the value of
// KELT_DB_SERVICE_COMMAND, empty (nothing to run) for the embedded engine.
QString DatabaseServiceCommand();
