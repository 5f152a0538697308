#pragma once

// kelt-cycle's parts: the run of the channels and the read-only status report.

#include <QString>

// The exit statuses, documented in --help, the README and docs/kelt-cycle.md.
enum ExitCode
{
    kClean = 0,         // nothing to do, or everything moved
    kRowsFailed = 1,    // some rows or tables failed (logged); the channels ran
    kSetupError = 2,    // usage or set-up error; nothing was run
    kStopped = 3,       // SIGTERM or SIGINT stopped the run at a safe point; the next run goes on
    kChannelFailed = 4, // a channel could not run at all: server, connection or local database
    kBusy = 5,          // the desktop program or another kelt-cycle is running the installation
};

// What the run prints: every table, or only the summary and the failures.
enum class TVerbosity
{
    Normal,
    Quiet,
};

// Runs the channels ("cad", "cadm", "movm" or "all") of the installation in
// `folder` (absolute, with a trailing separator, Config.ini and Log/ checked).
int RunCycleCommand(const QString& folder, const QString& which, TVerbosity verbosity);

// Prints the installation's status; kClean when the local database and every
// configured server endpoint can be reached, kRowsFailed otherwise.
int StatusCommand(const QString& folder);

// One line on stdout, flushed: an operator watching a long run sees it at once.
void Print(const QString& line);
