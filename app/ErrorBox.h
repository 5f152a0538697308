#pragma once

#include "platform/os/StopSignals.h"

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

// The application title: the executable's file name up to its first dot, every
// letter after the first in lower case ("KeltAppClient" gives "Keltappclient").
QString ApplicationTitle(const QString& executablePath);
QString ApplicationTitle(); // of the running executable

// The message of the error box: a full stop is appended unless the text is
// empty or already ends in a character whose code is at most that of the full stop.
QString ErrorBoxText(const QString& message);

// Where errors no handler caught are shown; the program installs the real box,
// tests a recorder. Without one the text goes to standard error.
void SetErrorBoxHook(std::function<void(const QString&)> hook);
void ShowErrorBox(const std::exception& e);

// Runs an event handler; an error it lets through ends it and is shown in the
// error box, the way the program treats every handler. A stop request ends
// the handler quietly: the message loop has been told to end already.
template <class F>
void HandleErrors(F&& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        ShowErrorBox(e);
    } catch (const StopSignals::TStopRequested&) {
    }
}

// The application object: an error that escapes an event handler ends that
// event and reaches the error box instead of the process.
class TKeltApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};
