#pragma once
// "About KORVANE" in the "Help" menu: what the program is, its version and
// licence, the Qt it runs on and where its maker is found.

#include <QString>

class QWidget;

namespace korvane {

/// The box's text (rich text): name and version, what the program does, the
/// licence (and the bundled font's), the Qt version at run time and the
/// maker's address as a link.
QString aboutText(const QString &version, const QString &qtVersion);

/// Shows "About KORVANE" with aboutText() for this build and the Qt library
/// it runs on, modal over parent.
void showAboutKorvane(QWidget *parent);

} // namespace korvane
