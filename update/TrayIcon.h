#pragma once

#include <QString>

// The notification-area icon as the layers below the window see it: the
// self-update shows balloons on it and switches its image. The main window
// implements it over its real tray icon; where no notification area exists the
// implementation also writes each balloon to standard error.
class ITrayIcon
{
public:
    enum class TBalloonIcon { None, Information, Warning, Error };

    virtual ~ITrayIcon() = default;
    // Shows a balloon for `milliseconds`; an earlier balloon is not cancelled first.
    virtual void ShowBalloon(const QString& title, const QString& text, TBalloonIcon icon, int milliseconds) = 0;
    // Dismisses the balloon on show, if any.
    virtual void HideBalloon() = 0;
    // 0 idle, 1 a replication cycle runs, 2 the self-update runs.
    virtual void SetIconIndex(int index) = 0;
    virtual int IconIndex() const = 0;
};
