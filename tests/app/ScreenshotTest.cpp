// The main window rendered by a real X server, saved as a picture for a person
// to look at; run under Xvfb by CTest (see CMakeLists.txt).
#include "tests/app/ShellFixture.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QImage>
#include <QPixmap>

namespace {

// A point of `panel`, in window coordinates, that no child widget covers and
// the frame does not draw on: what is painted there is the panel's own fill.
QPoint BarePanelPoint(const QWidget& window, const QFrame* panel)
{
    const QRect inner = panel->contentsRect().adjusted(2, 2, -2, -2);
    for (int y = inner.top(); y <= inner.bottom(); ++y)
        for (int x = inner.left(); x <= inner.right(); ++x)
            if (panel->childAt(x, y) == nullptr)
                return panel->mapTo(&window, QPoint(x, y));
    return {-1, -1};
}

} // namespace

TEST_F(ShellTest, MainWindowScreenshotShowsThreePanelsWithTheFirstHighlighted)
{
    WriteConfig(QStringLiteral("1"));
    TFMenu& menu = Create();
    ASSERT_TRUE(m_errorBoxes.isEmpty()) << qPrintable(m_errorBoxes.join(u'\n'));
    // Let the X server map and expose the window before grabbing it.
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QApplication::sendPostedEvents();
    }
    ASSERT_TRUE(menu.isVisible());
    RecordProperty("platform", QApplication::platformName().toStdString());

    const QPixmap shot = menu.grab();
    ASSERT_FALSE(shot.isNull());
    const QString path = QStringLiteral(KELT_SCREENSHOT_PATH);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    ASSERT_TRUE(shot.save(path, "PNG")) << qPrintable(path);

    const QImage image(path);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), menu.size() * shot.devicePixelRatio());
    const qreal ratio = shot.devicePixelRatio();
    const QPoint first = BarePanelPoint(menu, menu.pnCadastro);
    const QPoint second = BarePanelPoint(menu, menu.pnCadastroM);
    ASSERT_GE(first.x(), 0);
    ASSERT_GE(second.x(), 0);
    EXPECT_EQ(image.pixelColor(first * ratio).rgb(), QColor(0xED, 0xE7, 0x6D).rgb());
    EXPECT_EQ(image.pixelColor(second * ratio).rgb(), QApplication::palette().color(QPalette::Button).rgb());
}

int main(int argc, char** argv)
{
    // CTest names the platform (xcb under Xvfb); run by hand without a
    // display the picture still comes out on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
