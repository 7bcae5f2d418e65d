#include <QTest>
class TestCommands : public QObject { Q_OBJECT };
QTEST_APPLESS_MAIN(TestCommands)
#include "tst_commands.moc"
