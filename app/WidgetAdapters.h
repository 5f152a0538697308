#pragma once

#include "replication/core/ProgressWidgets.h"
#include "update/TrayIcon.h"

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

class QLabel;
#include <QMenu>
class QProgressBar;
class QSystemTrayIcon;

// The status label of a channel panel as the channels see it.
class TLabelAdapter : public ITableLabel
{
public:
    explicit TLabelAdapter(QLabel* label) : m_label(label) {}
    QString Caption() const override;
    void SetCaption(const QString& text) override;

private:
    QLabel* m_label;
};

// The progress bar of a channel panel as the channels see it. Positions
// outside the range are clamped, as the native control does.
class TProgressBarAdapter : public IProgressBar
{
public:
    explicit TProgressBarAdapter(QProgressBar* bar) : m_bar(bar) {}
    int Max() const override;
    void SetMax(int value) override;
    int Position() const override;
    void SetPosition(int value) override;

private:
    QProgressBar* m_bar;
};

// Four 16 x 16 images of the tray icon: idle (blue), cycle (red), update
// (teal) and idle after a failed cycle (amber, with an exclamation mark).
QList<QIcon> TrayImages();
inline constexpr int kTrayImageIdle = 0;
inline constexpr int kTrayImageFailed = 3;

// The notification-area icon of the main window (JvTrayIcon1): an image list,
// the image index, the menu for the right click (PopupMenu) and for the left
// click (DropDownMenu), and balloons. Where no notification area exists every
// balloon is also written to standard error.
class TTrayIcon : public QObject, public ITrayIcon
{
    Q_OBJECT
public:
    TTrayIcon(bool available, QObject* parent = nullptr);
    ~TTrayIcon() override;

    bool Available() const { return m_available; }
    QSystemTrayIcon* Icon() const { return m_icon; }

    void ShowBalloon(const QString& title, const QString& text, TBalloonIcon icon, int milliseconds) override;
    void HideBalloon() override;
    void SetIconIndex(int index) override;
    int IconIndex() const override { return m_iconIndex; }

    QMenu* PopupMenu() const { return m_popupMenu; }
    QMenu* DropDownMenu() const { return m_dropDownMenu; }
    void SetPopupMenu(QMenu* menu);
    void SetDropDownMenu(QMenu* menu) { m_dropDownMenu = menu; }

    struct TBalloon
    {
        QString Title;
        QString Text;
        TBalloonIcon Icon = TBalloonIcon::None;
    };
    // Every balloon shown so far, oldest first.
    const QList<TBalloon>& Balloons() const { return m_balloons; }

private:
    void Activated(int reason);

    bool m_available;
    QSystemTrayIcon* m_icon;
    QList<QIcon> m_images;
    int m_iconIndex = 0;
    QPointer<QMenu> m_popupMenu;
    QPointer<QMenu> m_dropDownMenu;
    QList<TBalloon> m_balloons;
};
