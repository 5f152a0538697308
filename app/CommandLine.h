#pragma once

#include <optional>

// The desktop program's own options, read before the toolkit starts so that
// --help and --version work without a display. Options of the toolkit itself
// (-platform NAME, -style NAME, ...) are left to it.
//
// Returns the exit code when the program must end now: 0 after --help or
// --version, 2 for an unknown option or argument (with a message on standard
// error); nothing when it is to run.
std::optional<int> HandleCommandLine(int argc, char** argv);
