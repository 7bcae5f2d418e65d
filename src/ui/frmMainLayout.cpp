// The main window's controls: where each sits (given in twips, 15 to a
// pixel), its caption, font and colours. The behaviour is in frmMain.cpp.

#include "frmMain.h"

#include "Fonts.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

namespace korvane {

namespace {

// The layout is given in twips; 15 twips make one pixel.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

template <typename W>
W *place(QWidget *parent, const char *name, QRect geometry)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(geometry);
    return w;
}

QPushButton *button(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *b = place<QPushButton>(parent, name, geometry);
    b->setText(caption);
    b->setAutoDefault(false);
    return b;
}

QLabel *label(QWidget *parent, const char *name, const QString &caption, QRect geometry)
{
    auto *l = place<QLabel>(parent, name, geometry);
    l->setText(caption);
    return l;
}

void setTextColour(QWidget *w, QColor colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    w->setPalette(p);
}

/// Accepts at most six characters (code points, not UTF-16 units): a
/// seventh is refused, whether typed or pasted.
class SixCharacters : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        return input.toUcs4().size() <= 6 ? Acceptable : Invalid;
    }
};

QLineEdit *textBox(QWidget *parent, const char *name, QRect geometry)
{
    auto *t = place<QLineEdit>(parent, name, geometry);
    t->setValidator(new SixCharacters(t));
    return t;
}

} // namespace

void frmMain::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(569, 245);
    setCentralWidget(client);

    Frame1 = place<QGroupBox>(client, "Frame1", twips(360, 240, 3975, 1335));
    Frame1->setTitle(QStringLiteral("Counter Mode"));
    cmdReadCount = button(Frame1, "cmdReadCount", QStringLiteral("Read Counter Value"), twips(240, 360, 1695, 375));
    cmdResetCount = button(Frame1, "cmdResetCount", QStringLiteral("Reset Counter"), twips(240, 840, 1695, 375));
    lblCounter = label(Frame1, "lblCounter", QString(), twips(2280, 360, 1095, 375));
    Label4 = label(Frame1, "Label4", QStringLiteral("Status"), twips(2280, 960, 495, 255));
    lblSta = label(Frame1, "lblSta", QString(), twips(2880, 960, 735, 255));

    Frame2 = place<QGroupBox>(client, "Frame2", twips(4440, 960, 3735, 2175));
    Frame2->setTitle(QStringLiteral("Display Mode"));
    cmdWReg = button(Frame2, "cmdWReg", QStringLiteral("Write Numeric Value"), twips(240, 480, 1695, 375));
    txtNum = textBox(Frame2, "txtNum", twips(2280, 480, 1095, 285));
    Label1 = label(Frame2, "Label1", QStringLiteral("-99999 to 999999"), twips(240, 960, 1695, 255));
    Label3 = label(Frame2, "Label3", QStringLiteral("Status"), twips(2280, 960, 615, 255));
    lblSta1 = label(Frame2, "lblSta1", QString(), twips(2880, 960, 735, 255));
    cmdASCII = button(Frame2, "cmdASCII", QStringLiteral("Write ASCII Text"), twips(240, 1320, 1695, 375));
    txtASCII = textBox(Frame2, "txtASCII", twips(2280, 1320, 1095, 285));

    Frame3 = place<QGroupBox>(client, "Frame3", twips(360, 1680, 3975, 1455));
    Frame3->setTitle(QStringLiteral("Output Control"));
    static const char *const outputNames[6] = {"cmdOutput0", "cmdOutput1", "cmdOutput2",
                                               "cmdOutput3", "cmdOutput4", "cmdOutput5"};
    static const char *const outputCaptions[6] = {"Turn On 1", "Turn Off 1", "Turn On 2",
                                                  "Turn Off 2", "Buzzer On", "Buzzer Off"};
    for (int i = 0; i < 6; ++i) {
        const int left = 240 + 1200 * (i / 2);
        const int top = (i % 2 == 0) ? 360 : 720;
        cmdOutput[i] = button(Frame3, outputNames[i], QString::fromLatin1(outputCaptions[i]),
                              twips(left, top, 1095, 255));
    }
    Label5 = label(Frame3, "Label5", QStringLiteral("Status"), twips(240, 1080, 495, 255));
    lblSta2 = label(Frame3, "lblSta2", QString(), twips(1080, 1080, 975, 255));

    Label2 = label(client, "Label2", QStringLiteral("Select Slave ID"), twips(4680, 600, 1455, 255));
    cboSlave = place<QComboBox>(client, "cboSlave", twips(6120, 480, 735, 315));
    cboSlave->setEditable(true);
    cboSlave->setInsertPolicy(QComboBox::NoInsert);
    cboSlave->setMaxVisibleItems(20);
    Label6 = label(client, "Label6",
                   QStringLiteral("KORVANE Modbus Counter/Display ") + QLatin1String(MakerAddress),
                   twips(360, 3360, 5175, 255));

    // Colours and fonts.
    lblCounter->setFont(uiFont(CounterPixelSize, true));
    setTextColour(lblCounter, QColor(255, 0, 0));
    {
        QPalette p = lblCounter->palette();
        p.setColor(QPalette::Window, Qt::black);
        lblCounter->setPalette(p);
        lblCounter->setAutoFillBackground(true);
        lblCounter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        lblCounter->setIndent(4);
    }
    const QFont bold = uiFont(11, true);
    for (QLabel *l : {lblSta, lblSta1, lblSta2, Label6})
        l->setFont(bold);
    setTextColour(lblSta, QColor(255, 0, 0));
    setTextColour(lblSta1, QColor(192, 0, 0));
    setTextColour(lblSta2, QColor(255, 128, 0));
    setTextColour(Label6, QColor(0, 0, 255));

    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace korvane
