#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class QProcess;

// SIGTERM and SIGINT (a logout, systemctl, an operator's kill) as a request to
// stop at the next safe point instead of a handler that runs anywhere. On Linux
// the two signals are blocked in every thread and read from a signalfd on the
// event loop: the embedded database engine installs a handler of its own that
// shuts its attachments down under the program and never ends it. Elsewhere
// blocking, watching and unblocking are no-ops.
namespace StopSignals {

// Thrown at a safe point once a stop was requested. Deliberately not a
// std::exception: the channels' error handlers must not log it as a failure.
struct TStopRequested
{
};

// First thing in main, before any thread exists, so that every thread
// (the engine's included) inherits the mask.
void Block();

// Reads the blocked signals on the event loop of `parent`'s thread; `onStop`
// runs there for the first one. Returns false when nothing could be set up.
bool Watch(QObject* parent, std::function<void(int signal)> onStop);

// Records a stop request by `signal` unless one was recorded before; true for
// the first. Watch records the signals it reads.
bool Request(int signal);

// The signal of the first stop request, 0 while there was none.
int Requested();

// After a request: a process still running `ms` later ends at once with
// `status` (a database call that does not reach a safe point, a lock wait).
// Killing it is safe: the local work of a batch is transactional.
void EndWithin(int ms, int status);

// In a child process before exec: the default mask, so that a started program
// can be stopped by these signals again.
void UnblockInChild();

// Has `process` unblock them in its child before the program starts.
void UnblockInChildOf(QProcess& process);

// Starts `file` as TSystemProcesses::Start does (Processes.h), the program
// getting these signals unblocked. Detached, it runs in a session of its own
// with its input from the null device and is reaped in the background, so
// that it leaves no zombie while this program runs.
bool StartProgram(const QString& file, const QStringList& parameters, bool wait, bool maximised, QString& error);

// Processes pending events, then throws TStopRequested once a stop was
// requested (never while an exception unwinds).
void ProcessEventsOrStop();

} // namespace StopSignals
