#include <QTest>
class Test_serialport : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(Test_serialport)
#include "tst_serialport.moc"
