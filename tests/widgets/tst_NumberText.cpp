#include "ValueText.h"
#include "platform/Error.h"
#include "widgets/NumberText.h"

#include <QTest>
#include <clocale>
#include <cmath>
#include <limits>

using NumberText::Separators;

namespace {

const Separators kDot{u'.', u','};
const Separators kComma{u',', u'.'};

const double kNone = kEmptyValue;

}  // namespace

class NumberTextTest : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void normalised_data();
    void normalised();
    void general_data();
    void general();
    void bounded_data();
    void bounded();
    void rounded_data();
    void rounded();
    void acceptableWhileTyping_data();
    void acceptableWhileTyping();
    void programText_data();
    void programText();
    void programTextThatIsNoNumber_data();
    void programTextThatIsNoNumber();
    void typedText_data();
    void typedText();
    void separatorsOfCLocale();
};

void NumberTextTest::parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QChar>("decimal");
    QTest::addColumn<double>("value");

    QTest::newRow("digits") << "5" << QChar(u'.') << 5.0;
    QTest::newRow("blanks around") << "  5 " << QChar(u'.') << 5.0;
    QTest::newRow("plus") << "+5" << QChar(u'.') << 5.0;
    QTest::newRow("minus") << "-5" << QChar(u'.') << -5.0;
    QTest::newRow("trailing separator") << "3." << QChar(u'.') << 3.0;
    QTest::newRow("lone separator") << "." << QChar(u'.') << 0.0;
    QTest::newRow("leading separator") << ".5" << QChar(u'.') << 0.5;
    QTest::newRow("signed separator") << "-." << QChar(u'.') << -0.0;
    QTest::newRow("exponent") << "1.5e3" << QChar(u'.') << 1500.0;
    QTest::newRow("capital exponent") << "2E-2" << QChar(u'.') << 0.02;
    QTest::newRow("exponent without digits") << "5e" << QChar(u'.') << 5.0;
    QTest::newRow("exponent sign only") << "5E-" << QChar(u'.') << 5.0;
    QTest::newRow("underflow is zero") << "1e-400" << QChar(u'.') << 0.0;
    QTest::newRow("largest double")
        << "1.7976931348623157e308" << QChar(u'.') << std::numeric_limits<double>::max();
    QTest::newRow("comma decimal") << "1,5" << QChar(u',') << 1.5;

    QTest::newRow("empty") << "" << QChar(u'.') << kNone;
    QTest::newRow("blanks only") << "   " << QChar(u'.') << kNone;
    QTest::newRow("lone minus") << "-" << QChar(u'.') << kNone;
    QTest::newRow("lone plus") << "+" << QChar(u'.') << kNone;
    QTest::newRow("exponent alone") << "e5" << QChar(u'.') << kNone;
    QTest::newRow("too large") << "1.8e308" << QChar(u'.') << kNone;
    QTest::newRow("far too large") << "1e400" << QChar(u'.') << kNone;
    QTest::newRow("two separators") << "1.2.3" << QChar(u'.') << kNone;
    QTest::newRow("inner blank") << "5 5" << QChar(u'.') << kNone;
    QTest::newRow("two signs") << "--5" << QChar(u'.') << kNone;
    QTest::newRow("letter") << "12a" << QChar(u'.') << kNone;
    QTest::newRow("other separator") << "1,5" << QChar(u'.') << kNone;
    QTest::newRow("inf") << "inf" << QChar(u'.') << kNone;
    QTest::newRow("nan") << "nan" << QChar(u'.') << kNone;
    QTest::newRow("hex") << "0x10" << QChar(u'.') << kNone;
    QTest::newRow("two exponents") << "1e2e3" << QChar(u'.') << kNone;
    QTest::newRow("fullwidth digit") << QStringLiteral("５") << QChar(u'.') << kNone;
}

void NumberTextTest::parse() {
    QFETCH(QString, text);
    QFETCH(QChar, decimal);
    QFETCH(double, value);
    QCOMPARE(ValueText(NumberText::Parse(text, decimal)), ValueText(FromTable(value)));
}

void NumberTextTest::normalised_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("commaDecimal");
    QTest::addColumn<QString>("normalised");

    QTest::newRow("blanks trimmed") << "  12 " << false << "12";
    QTest::newRow("inner blank stays") << "1 2" << false << "1 2";
    QTest::newRow("thousands dropped") << "1,234,567.5" << false << "1234567.5";
    QTest::newRow("comma is thousands") << "3," << false << "3";
    QTest::newRow("comma locale") << " 1.234,5" << true << "1234,5";
    QTest::newRow("comma locale dot") << "2." << true << "2";
    QTest::newRow("tab trimmed") << "\t7\n" << false << "7";
    QTest::newRow("empty") << "" << false << "";
}

void NumberTextTest::normalised() {
    QFETCH(QString, text);
    QFETCH(bool, commaDecimal);
    QFETCH(QString, normalised);
    QCOMPARE(NumberText::Normalised(text, commaDecimal ? kComma : kDot), normalised);
}

void NumberTextTest::general_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QChar>("decimal");
    QTest::addColumn<QString>("shown");

    QTest::newRow("5") << 5.0 << QChar(u'.') << "5";
    QTest::newRow("2.5") << 2.5 << QChar(u'.') << "2.5";
    QTest::newRow("0") << 0.0 << QChar(u'.') << "0";
    QTest::newRow("-0") << -0.0 << QChar(u'.') << "0";
    QTest::newRow("negative") << -2.5 << QChar(u'.') << "-2.5";
    QTest::newRow("1e20") << 1e20 << QChar(u'.') << "1E20";
    QTest::newRow("1e-7") << 1e-7 << QChar(u'.') << "1E-7";
    QTest::newRow("1.5e-7") << 1.5e-7 << QChar(u'.') << "1.5E-7";
    QTest::newRow("1e100") << 1e100 << QChar(u'.') << "1E100";
    QTest::newRow("1e15 is exponent") << 1e15 << QChar(u'.') << "1E15";
    QTest::newRow("15 digits") << 123456789012345.0 << QChar(u'.') << "123456789012345";
    QTest::newRow("16 digits round") << 1234567890123456.0 << QChar(u'.') << "1.23456789012346E15";
    QTest::newRow("15 significant decimals")
        << 1.23456789012345 << QChar(u'.') << "1.23456789012345";
    QTest::newRow("a third") << 1.0 / 3 << QChar(u'.') << "0.333333333333333";
    QTest::newRow("0.1+0.2") << 0.1 + 0.2 << QChar(u'.') << "0.3";
    QTest::newRow("1e-4 is fixed") << 0.0001 << QChar(u'.') << "0.0001";
    QTest::newRow("1e-5 is exponent") << 0.00001 << QChar(u'.') << "1E-5";
    QTest::newRow("largest double")
        << std::numeric_limits<double>::max() << QChar(u'.') << "1.79769313486232E308";
    QTest::newRow("comma decimal") << 2.5 << QChar(u',') << "2,5";
    QTest::newRow("comma in exponent") << 1.5e-7 << QChar(u',') << "1,5E-7";
}

void NumberTextTest::general() {
    QFETCH(double, value);
    QFETCH(QChar, decimal);
    QFETCH(QString, shown);
    QCOMPARE(NumberText::General(value, decimal), shown);
    // What the general form shows reads back as the same 15-digit value (but for values
    // so near the largest double that 15 digits round past it).
    if (std::fabs(value) > 1e308) {
        return;
    }
    QCOMPARE(NumberText::General(*NumberText::Parse(shown, decimal), decimal), shown);
}

void NumberTextTest::bounded_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("minValue");
    QTest::addColumn<double>("maxValue");
    QTest::addColumn<double>("bounded");

    QTest::newRow("field: below 1") << 0.5 << 1.0 << 0.0 << 1.0;
    QTest::newRow("field: negative") << -5.0 << 1.0 << 0.0 << 1.0;
    QTest::newRow("field: no upper bound") << 1e300 << 1.0 << 0.0 << 1e300;
    QTest::newRow("equal bounds: no limit") << -7.0 << 3.0 << 3.0 << -7.0;
    QTest::newRow("range: below") << 1.0 << 2.0 << 9.0 << 2.0;
    QTest::newRow("range: above") << 10.0 << 2.0 << 9.0 << 9.0;
    QTest::newRow("range: inside") << 4.0 << 2.0 << 9.0 << 4.0;
    QTest::newRow("upper only") << 5.0 << 0.0 << -2.0 << -2.0;
    QTest::newRow("upper only, below") << -9.0 << 0.0 << -2.0 << -9.0;
    QTest::newRow("crossed: no limit") << 100.0 << 5.0 << 3.0 << 100.0;
}

void NumberTextTest::bounded() {
    QFETCH(double, value);
    QFETCH(double, minValue);
    QFETCH(double, maxValue);
    QFETCH(double, bounded);
    QCOMPARE(ValueText(NumberText::Bounded(value, minValue, maxValue)), ValueText(bounded));
}

void NumberTextTest::rounded_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("rounded");

    QTest::newRow("half to even, down") << 3.125 << 3.12;
    QTest::newRow("half to even, up") << 3.375 << 3.38;
    QTest::newRow("negative half") << -3.125 << -3.12;
    QTest::newRow("already two decimals") << 2.5 << 2.5;
    QTest::newRow("below half") << 1.234 << 1.23;
    QTest::newRow("above half") << 1.236 << 1.24;
    QTest::newRow("huge stays") << 1e300 << 1e300;
    QTest::newRow("largest double stays finite")
        << std::numeric_limits<double>::max() << std::numeric_limits<double>::max();
}

void NumberTextTest::rounded() {
    QFETCH(double, value);
    QFETCH(double, rounded);
    QCOMPARE(ValueText(NumberText::Rounded(value, 2)), ValueText(rounded));
}

void NumberTextTest::acceptableWhileTyping_data() {
    QTest::addColumn<QString>("normalised");
    QTest::addColumn<bool>("acceptable");

    QTest::newRow("empty") << "" << true;
    QTest::newRow("plus") << "+" << true;
    QTest::newRow("minus") << "-" << true;
    QTest::newRow("negative") << "-5" << true;
    QTest::newRow("two decimals") << "1.23" << true;
    QTest::newRow("three decimals") << "1.234" << false;
    QTest::newRow("decimals before exponent") << "1.23e5" << true;
    QTest::newRow("exponent digits not decimals") << "1.2e-345" << true;
    QTest::newRow("three decimals before exponent") << "1.234e5" << false;
    QTest::newRow("open exponent") << "5e" << true;
    QTest::newRow("open exponent sign") << "5e-" << true;
    QTest::newRow("lone separator") << "." << true;
    QTest::newRow("lone exponent") << "e" << false;
    QTest::newRow("two separators") << "1.2." << false;
    QTest::newRow("letter") << "12a" << false;
    QTest::newRow("blank inside") << "1 2" << false;
    QTest::newRow("overflow") << "1e400" << false;
    QTest::newRow("two signs") << "--" << false;
    QTest::newRow("sign after digit") << "1-" << false;
}

void NumberTextTest::acceptableWhileTyping() {
    QFETCH(QString, normalised);
    QFETCH(bool, acceptable);
    QCOMPARE(NumberText::AcceptableWhileTyping(normalised, 2, u'.'), acceptable);
}

void NumberTextTest::programText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("0 stays 0") << "0" << 0.0;
    QTest::newRow("blanks around") << " 5 " << 5.0;
    QTest::newRow("not rounded") << "2.567" << 2.567;
    QTest::newRow("negative kept") << "-3" << -3.0;
    QTest::newRow("thousands") << "1,000" << 1000.0;
    QTest::newRow("empty") << "" << kNone;
    QTest::newRow("blanks only") << "  " << kNone;
}

void NumberTextTest::programText() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(ValueText(NumberText::ValueOfProgramText(text, kDot)), ValueText(FromTable(value)));
}

void NumberTextTest::programTextThatIsNoNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");

    QTest::newRow("letters") << "abc"
                             << "'abc' is not a valid floating point value";
    QTest::newRow("normalised in message") << " a,b "
                                           << "'ab' is not a valid floating point value";
    QTest::newRow("lone sign") << "-"
                               << "'-' is not a valid floating point value";
    QTest::newRow("overflow") << "1e999"
                              << "'1e999' is not a valid floating point value";
}

void NumberTextTest::programTextThatIsNoNumber() {
    QFETCH(QString, text);
    QFETCH(QString, message);
    try {
        NumberText::ValueOfProgramText(text, kDot);
        QFAIL("no conversion error");
    } catch (const Error& error) {
        QCOMPARE(error.message(), message);
    }
}

void NumberTextTest::typedText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("empty") << "" << kNone;
    QTest::newRow("minus") << "-" << 0.0;
    QTest::newRow("plus") << "+" << 0.0;
    QTest::newRow("0 raised") << "0" << 1.0;
    QTest::newRow("negative raised") << "-5" << 1.0;
    QTest::newRow("lone separator raised") << "." << 1.0;
    QTest::newRow("kept") << "2.50" << 2.5;
    QTest::newRow("rounded half even") << "3125e-3" << 3.12;
    QTest::newRow("large") << "1e300" << 1e300;
    QTest::newRow("left after deleting") << "e5" << kNone;
}

void NumberTextTest::typedText() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(ValueText(NumberText::ValueOfTypedText(text, 1, 0, 2, kDot)),
             ValueText(FromTable(value)));
}

void NumberTextTest::separatorsOfCLocale() {
    // The C locale leaves the thousands separator empty; "," stands in.
    std::setlocale(LC_NUMERIC, "C");
    const Separators separators = NumberText::RegionalSeparators();
    QCOMPARE(separators.decimal, QChar(u'.'));
    QCOMPARE(separators.thousands, QChar(u','));
}

QTEST_GUILESS_MAIN(NumberTextTest)
#include "tst_NumberText.moc"
