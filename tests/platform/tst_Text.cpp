#include "platform/Gb18030.h"
#include "platform/Prompts.h"

#include <QTest>

class TextTest : public QObject {
    Q_OBJECT
private slots:
    void gb18030RoundTrip_data();
    void gb18030RoundTrip();
    void invalidBytesBecomeReplacement();
    void fullStop_data();
    void fullStop();
};

void TextTest::gb18030RoundTrip_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << "D:/work" << QByteArray("D:/work");
    QTest::newRow("GBK weekday") << "星期一" << QByteArray("\xD0\xC7\xC6\xDA\xD2\xBB");
    QTest::newRow("section") << "[备份设置]" << QByteArray("[\xB1\xB8\xB7\xDD\xC9\xE8\xD6\xC3]");
    // Outside GBK: four-byte GB18030 sequences keep what a GBK writer would lose.
    QTest::newRow("emoji") << QString::fromUtf8("\xF0\x9F\x98\x80")
                           << QByteArray("\x94\x39\xFC\x36");
    // Code page 936's euro, a byte GB18030 leaves undefined.
    QTest::newRow("euro") << QString::fromUtf8("D:/\xE2\x82\xAC") << QByteArray("D:/\x80");
    QTest::newRow("empty") << "" << QByteArray();
}

void TextTest::gb18030RoundTrip() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(ToGb18030(text), bytes);
    QCOMPARE(FromGb18030(bytes), text);
}

void TextTest::invalidBytesBecomeReplacement() {
    QCOMPARE(FromGb18030(QByteArray("a\xFF" "b")), QString::fromUtf8("a\xEF\xBF\xBD" "b"));
    QCOMPARE(FromGb18030(QByteArray("ab\xB1")), QString::fromUtf8("ab\xEF\xBF\xBD"));
}

void TextTest::fullStop_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Disk full" << "Disk full.";
    QTest::newRow("digit") << "I/O error 32" << "I/O error 32.";
    QTest::newRow("chinese") << "失败" << "失败.";
    QTest::newRow("dot") << "Done." << "Done.";
    QTest::newRow("paren") << "(x)" << "(x)";
    QTest::newRow("quote") << "Cannot open file \"a\"" << "Cannot open file \"a\"";
    QTest::newRow("empty") << "" << "";
}

void TextTest::fullStop() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(WithFullStop(text), shown);
}

QTEST_GUILESS_MAIN(TextTest)
#include "tst_Text.moc"
