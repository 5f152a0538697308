#include "WidgetAdapters.h"

#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cstdio>

QString TLabelAdapter::Caption() const { return m_label->text(); }
void TLabelAdapter::SetCaption(const QString& text) { m_label->setText(text); }

int TProgressBarAdapter::Max() const { return m_bar->maximum(); }
void TProgressBarAdapter::SetMax(int value)
{
    m_bar->setMaximum(std::max(value, m_bar->minimum()));
}
int TProgressBarAdapter::Position() const { return m_bar->value(); }
void TProgressBarAdapter::SetPosition(int value)
{
    // QProgressBar ignores a value outside its range instead of clamping it.
    m_bar->setValue(std::clamp(value, m_bar->minimum(), m_bar->maximum()));
}

namespace {

// A filled disc of the role's colour with a light arrow: the colour dominates.
QIcon TrayImage(const QColor& colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    QPainter painter(&pixmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    const QPoint arrow[] = {{4, 5}, {11, 8}, {4, 11}};
    painter.drawPolygon(arrow, 3);
    painter.end();
    return QIcon(pixmap);
}

QSystemTrayIcon::MessageIcon MessageIcon(ITrayIcon::TBalloonIcon icon)
{
    switch (icon) {
    case ITrayIcon::TBalloonIcon::Information: return QSystemTrayIcon::Information;
    case ITrayIcon::TBalloonIcon::Warning: return QSystemTrayIcon::Warning;
    case ITrayIcon::TBalloonIcon::Error: return QSystemTrayIcon::Critical;
    case ITrayIcon::TBalloonIcon::None: break;
    }
    return QSystemTrayIcon::NoIcon;
}

// The warning state: a mark, not an arrow, so that it reads without colour too.
QIcon WarningImage()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(QColor(0xFF, 0xB0, 0x00));
    QPainter painter(&pixmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawRect(7, 2, 2, 8);
    painter.drawRect(7, 12, 2, 2);
    painter.end();
    return QIcon(pixmap);
}

} // namespace

QList<QIcon> TrayImages()
{
    return {TrayImage(QColor(0x00, 0x00, 0xFF)), TrayImage(QColor(0xFF, 0x00, 0x00)),
            TrayImage(QColor(0x00, 0x84, 0x84)), WarningImage()};
}

TTrayIcon::TTrayIcon(bool available, QObject* parent)
    : QObject(parent), m_available(available), m_icon(new QSystemTrayIcon(this)), m_images(TrayImages())
{
    m_icon->setIcon(m_images.at(0));
    m_icon->setToolTip(QStringLiteral("Controle de Replicação"));
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        Activated(int(reason));
    });
    if (m_available)
        m_icon->show();
}

TTrayIcon::~TTrayIcon() { m_icon->hide(); }

void TTrayIcon::ShowBalloon(const QString& title, const QString& text, TBalloonIcon icon, int milliseconds)
{
    m_balloons.append({title, text, icon});
    if (m_available)
        m_icon->showMessage(title, text, MessageIcon(icon), milliseconds);
    if (m_available && QSystemTrayIcon::supportsMessages())
        return;
    std::fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(), text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void TTrayIcon::HideBalloon()
{
    // No call dismisses a message; an empty one of no duration replaces it.
    if (m_available && QSystemTrayIcon::supportsMessages())
        m_icon->showMessage(QString(), QString(), QSystemTrayIcon::NoIcon, 1);
}

void TTrayIcon::SetIconIndex(int index)
{
    m_iconIndex = index;
    if (index >= 0 && index < m_images.size())
        m_icon->setIcon(m_images.at(index));
}

void TTrayIcon::SetPopupMenu(QMenu* menu)
{
    m_popupMenu = menu;
    m_icon->setContextMenu(menu);
}

void TTrayIcon::Activated(int reason)
{
    if (reason == QSystemTrayIcon::Trigger && m_dropDownMenu)
        m_dropDownMenu->popup(QCursor::pos());
}
