#pragma once

#include <QString>

// Folder of the running executable, with a trailing separator. The environment
// variable KELT_PROGRAM_FOLDER, or an override set by a test, takes its place
// (a trailing separator is added when missing).
QString ProgramFolder();
void SetProgramFolderOverride(const QString& folder); // empty: back to the default

// Folder of the running executable's file, without a trailing separator and
// without the overrides (linux/, windows/ProgramFolder.cpp).
QString ExecutableFolder();
