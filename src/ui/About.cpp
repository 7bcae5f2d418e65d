#include "About.h"

#include "common/BuildInfo.h"
#include "frmMain.h"

#include <QMessageBox>

namespace korvane {

QString aboutText(const QString &version, const QString &qtVersion)
{
    const QString address = QString::fromLatin1(MakerAddress).toHtmlEscaped();
    return QStringLiteral("<p><b>KORVANE %1</b></p>"
                          "<p>Drives one Modbus RTU counter/display device over a serial line.</p>"
                          "<p>Licence: MIT. The bundled Liberation Sans font: SIL Open Font License 1.1.</p>"
                          "<p>Running on Qt %2.</p>"
                          "<p><a href=\"%3\">%3</a></p>")
        .arg(version.toHtmlEscaped(), qtVersion.toHtmlEscaped(), address);
}

void showAboutKorvane(QWidget *parent)
{
    QMessageBox::about(parent, QStringLiteral("About KORVANE"),
                       aboutText(QString::fromLatin1(build::Version), QString::fromLatin1(qVersion())));
}

} // namespace korvane
