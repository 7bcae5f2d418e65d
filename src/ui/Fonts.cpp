#include "Fonts.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace korvane {

QString uiFontFamily()
{
    static const QString family = [] {
        QString name;
        for (const char *file : {":/fonts/LiberationSans-Regular.ttf", ":/fonts/LiberationSans-Bold.ttf"}) {
            const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
            const QStringList families = QFontDatabase::applicationFontFamilies(id);
            if (name.isEmpty() && !families.isEmpty())
                name = families.first();
        }
        return name;
    }();
    return family;
}

QFont uiFont(int pixelSize, bool bold)
{
    QFont font(uiFontFamily());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QFont fontToFit(QFont font, const QString &text, int width, int smallestPixelSize)
{
    while (font.pixelSize() > smallestPixelSize && QFontMetrics(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

} // namespace korvane
