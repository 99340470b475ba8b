#include "platform/TimeFormat.h"

#include <QTest>

class TimeFormatTest : public QObject {
    Q_OBJECT
private slots:
    void formats_data();
    void formats();
    void parse_data();
    void parse();
};

void TimeFormatTest::formats_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("ampmPattern");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("shortText");
    QTest::addColumn<QString>("longText");

    QTest::newRow("C locale") << "%H:%M:%S" << "%I:%M:%S %p" << QTime(8, 30, 5) << "08:30"
                              << "08:30:05";
    QTest::newRow("no leading zero") << "%k:%M:%S" << "" << QTime(8, 30, 5) << "8:30"
                                     << "8:30:05";
    QTest::newRow("dash flag drops zero") << "%-H:%M:%S" << "" << QTime(8, 3, 0) << "8:03"
                                          << "8:03:00";
    QTest::newRow("en_US %r, afternoon") << "%r" << "%I:%M:%S %p" << QTime(14, 5, 9)
                                         << "02:05 PM" << "02:05:09 PM";
    QTest::newRow("12-hour midnight") << "%l:%M:%S %p" << "" << QTime(0, 0, 0) << "12:00 AM"
                                      << "12:00:00 AM";
    QTest::newRow("designator before") << "%p %I:%M:%S" << "" << QTime(9, 1, 2) << "AM 09:01"
                                       << "AM 09:01:02";
    QTest::newRow("dot separator") << "%H.%M.%S" << "" << QTime(23, 59, 50) << "23.59"
                                   << "23.59.50";
    QTest::newRow("zh_CN keeps colon") << "%H时%M分%S秒" << "" << QTime(8, 30, 0) << "08:30"
                                       << "08:30:00";
    QTest::newRow("%T") << "%T" << "" << QTime(7, 0, 0) << "07:00" << "07:00:00";
}

void TimeFormatTest::formats() {
    QFETCH(QString, pattern);
    QFETCH(QString, ampmPattern);
    QFETCH(QTime, time);
    QFETCH(QString, shortText);
    QFETCH(QString, longText);
    const TimeFormat format = TimeFormat::fromPattern(pattern, ampmPattern, "AM", "PM");
    QCOMPARE(format.shortTime(time), shortText);
    QCOMPARE(format.longTime(time), longText);
    QCOMPARE(format.parse(longText), std::optional<QTime>(time));
}

void TimeFormatTest::parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QTime>("expected");  // invalid QTime: not a time

    QTest::newRow("h:mm:ss") << "8:30:17" << QTime(8, 30, 17);
    QTest::newRow("h:mm") << "8:30" << QTime(8, 30, 0);
    QTest::newRow("blanks") << " 08:30:00 " << QTime(8, 30, 0);
    QTest::newRow("pm after") << "2:05:00 PM" << QTime(14, 5, 0);
    QTest::newRow("pm before") << "pm 12:00" << QTime(12, 0, 0);
    QTest::newRow("am 12") << "12:15 AM" << QTime(0, 15, 0);
    QTest::newRow("regional separator") << "8.30.00" << QTime(8, 30, 0);
    QTest::newRow("hour 24") << "24:00:00" << QTime();
    QTest::newRow("minute 60") << "8:60" << QTime();
    QTest::newRow("words") << "half past eight" << QTime();
    QTest::newRow("hour only") << "8" << QTime();
    QTest::newRow("pm with 13") << "13:00 PM" << QTime();
    QTest::newRow("trailing junk") << "8:30:00x" << QTime();
    QTest::newRow("empty") << "" << QTime();
}

void TimeFormatTest::parse() {
    QFETCH(QString, text);
    QFETCH(QTime, expected);
    TimeFormat format;
    format.separator = u'.';
    const auto parsed = format.parse(text);
    if (expected.isValid()) {
        QCOMPARE(parsed, std::optional<QTime>(expected));
    } else {
        QVERIFY2(!parsed, qPrintable(parsed ? parsed->toString() : QString()));
    }
}

QTEST_GUILESS_MAIN(TimeFormatTest)
#include "tst_TimeFormat.moc"
