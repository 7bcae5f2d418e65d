#include <QTest>
class Test_exchange : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(Test_exchange)
#include "tst_exchange.moc"
