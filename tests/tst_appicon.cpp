// The window icon is the 32-pixel image rendered at build time from
// packaging/icons/korvane.svg, the same one that is installed.

#include "WindowRig.h"

#include <QImage>
#include <QTest>

using namespace korvane;
using namespace Qt::StringLiterals;

class TestAppIcon : public QObject {
    Q_OBJECT
private slots:
    void windowIconIsTheRenderedImage()
    {
        const QImage rendered(QStringLiteral(KORVANE_RENDERED_ICON_32));
        QCOMPARE(rendered.size(), QSize(32, 32));
        QVERIFY(rendered.hasAlphaChannel());
        // Not blank: the corners are transparent, the display is drawn.
        QCOMPARE(qAlpha(rendered.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(rendered.pixel(16, 13)), 255);

        const QImage resource(u":/korvane-32.png"_s);
        QCOMPARE(resource.convertToFormat(QImage::Format_ARGB32), rendered.convertToFormat(QImage::Format_ARGB32));

        test::WindowRig rig;
        const QIcon icon = rig.window->windowIcon();
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32),
                 rendered.convertToFormat(QImage::Format_ARGB32));
    }
};

QTEST_MAIN(TestAppIcon)
#include "tst_appicon.moc"
