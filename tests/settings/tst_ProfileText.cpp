#include "settings/ProfileText.h"

#include <QTest>

using ProfileText::Lookup;
using ProfileText::WithValue;

Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {
// GBK bytes of the names the program uses.
const QByteArray kSection("\xB1\xB8\xB7\xDD\xC9\xE8\xD6\xC3");  // 备份设置
const QByteArray kCount("\xB1\xB8\xB7\xDD\xB8\xF6\xCA\xFD");    // 备份个数
}  // namespace

class ProfileTextTest : public QObject {
    Q_OBJECT
private slots:
    void lookup_data();
    void lookup();
    void withValue_data();
    void withValue();
    void sameName_data();
    void sameName();
    void longValueIsCut();
};

void ProfileTextTest::lookup_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<std::optional<QByteArray>>("value");
    const std::optional<QByteArray> none;
    using V = std::optional<QByteArray>;

    QTest::newRow("empty file") << QByteArray() << kSection << kCount << none;
    QTest::newRow("present") << "[" + kSection + "]\r\n" + kCount + "=5\r\n"
                             << kSection << kCount << V("5");
    QTest::newRow("no section") << kCount + "=5\r\n" << kSection << kCount << none;
    QTest::newRow("other section")
        << QByteArray("[a]\r\nk=1\r\n[b]\r\nj=2\r\n") << QByteArray("b") << QByteArray("k") << none;
    QTest::newRow("empty value") << QByteArray("[s]\r\nk=\r\n") << QByteArray("s")
                                 << QByteArray("k") << V("");
    QTest::newRow("ascii case") << QByteArray("[Backup]\r\nCount=5\r\n") << QByteArray("BACKUP")
                                << QByteArray("count") << V("5");
    QTest::newRow("blanks around names") << QByteArray("  [ s ]  \r\n\t k \t= 7\r\n")
                                         << QByteArray("s") << QByteArray("k") << V("7");
    QTest::newRow("blanks and tabs around a value go")
        << QByteArray("[s]\r\nk= \t/data/x \t\r\n") << QByteArray("s") << QByteArray("k")
        << V("/data/x");
    QTest::newRow("one pair of quotes goes")
        << QByteArray("[s]\r\nk=\"\"a\"\"\r\n") << QByteArray("s") << QByteArray("k") << V("\"a\"");
    QTest::newRow("quotes that differ stay")
        << QByteArray("[s]\r\nk=\"a'\r\n") << QByteArray("s") << QByteArray("k") << V("\"a'");
    QTest::newRow("equals inside value")
        << QByteArray("[s]\r\nk=a=b\r\n") << QByteArray("s") << QByteArray("k") << V("a=b");
    QTest::newRow("first key wins")
        << QByteArray("[s]\r\nk=1\r\nK=2\r\n") << QByteArray("s") << QByteArray("k") << V("1");
    QTest::newRow("first section wins")
        << QByteArray("[s]\r\nj=1\r\n[S]\r\nk=2\r\n") << QByteArray("s") << QByteArray("k") << none;
    QTest::newRow("key line without equals")
        << QByteArray("[s]\r\nk\r\nk=2\r\n") << QByteArray("s") << QByteArray("k") << V("");
    QTest::newRow("lines before any section")
        << QByteArray("k=0\r\n[s]\r\nk=1\r\n") << QByteArray("s") << QByteArray("k") << V("1");
    QTest::newRow("LF line ends") << QByteArray("[s]\nk=1\nj=2\n") << QByteArray("s")
                                  << QByteArray("j") << V("2");
    QTest::newRow("last line without line end")
        << QByteArray("[s]\r\nk=1") << QByteArray("s") << QByteArray("k") << V("1");
    QTest::newRow("unclosed header is no section")
        << QByteArray("[s\r\nk=1\r\n") << QByteArray("s") << QByteArray("k") << none;
    // 0x5D ("]") is the second byte of GBK 0x815D: the header is not closed there.
    QTest::newRow("bracket as second byte")
        << QByteArray("[\x81\x5D\r\nk=1\r\n") << QByteArray("\x81") << QByteArray("k") << none;
    QTest::newRow("GBK section with bracket byte")
        << QByteArray("[\x81\x5D]\r\nk=1\r\n") << QByteArray("\x81\x5D") << QByteArray("k")
        << V("1");
    QTest::newRow("undecodable bytes elsewhere")
        << QByteArray("\xFF\xFE\x80\r\n[s]\r\nx=\x81\r\nk=1\r\n") << QByteArray("s")
        << QByteArray("k") << V("1");
}

void ProfileTextTest::lookup() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(std::optional<QByteArray>, value);
    QCOMPARE(Lookup(content, section, key), value);
}

void ProfileTextTest::withValue_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("empty file") << QByteArray() << QByteArray("k") << QByteArray("v")
                                << QByteArray("[s]\r\nk=v\r\n");
    QTest::newRow("replace in place")
        << QByteArray("[s]\r\na=1\r\nk=old\r\nb=2\r\n") << QByteArray("k") << QByteArray("new")
        << QByteArray("[s]\r\na=1\r\nk=new\r\nb=2\r\n");
    QTest::newRow("replace drops blanks around equals")
        << QByteArray("[s]\r\n  K = old\r\n") << QByteArray("k") << QByteArray("new")
        << QByteArray("[s]\r\nK=new\r\n");
    QTest::newRow("replace the first of two")
        << QByteArray("[s]\r\nk=1\r\nk=2\r\n") << QByteArray("k") << QByteArray("3")
        << QByteArray("[s]\r\nk=3\r\nk=2\r\n");
    QTest::newRow("key line without equals gets its value")
        << QByteArray("[s]\r\nk\r\n") << QByteArray("k") << QByteArray("1")
        << QByteArray("[s]\r\nk=1\r\n");
    QTest::newRow("missing key goes after the last key")
        << QByteArray("[s]\r\na=1\r\n\r\n\r\n[t]\r\nb=2\r\n") << QByteArray("k") << QByteArray("v")
        << QByteArray("[s]\r\na=1\r\nk=v\r\n\r\n\r\n[t]\r\nb=2\r\n");
    QTest::newRow("missing key in an empty section")
        << QByteArray("[s]\r\n\r\n[t]\r\n") << QByteArray("k") << QByteArray("v")
        << QByteArray("[s]\r\nk=v\r\n\r\n[t]\r\n");
    QTest::newRow("missing key, section at the end without line end")
        << QByteArray("[s]\r\na=1") << QByteArray("k") << QByteArray("v")
        << QByteArray("[s]\r\na=1\r\nk=v\r\n");
    QTest::newRow("missing section after other content")
        << QByteArray("; note\n[t]\nb=2") << QByteArray("k") << QByteArray("v")
        << QByteArray("; note\n[t]\nb=2\r\n[s]\r\nk=v\r\n");
    QTest::newRow("other lines keep their bytes")
        << QByteArray("\xFF\x80 x\n[s]\nz=\x81\n k=1 \n\xFE\n") << QByteArray("k")
        << QByteArray("2") << QByteArray("\xFF\x80 x\n[s]\nz=\x81\nk=2\r\n\xFE\n");
    QTest::newRow("second section of the same name is left alone")
        << QByteArray("[s]\r\na=1\r\n[s]\r\nk=1\r\n") << QByteArray("k") << QByteArray("2")
        << QByteArray("[s]\r\na=1\r\nk=2\r\n[s]\r\nk=1\r\n");
    QTest::newRow("empty value") << QByteArray("[s]\r\nk=1\r\n") << QByteArray("k") << QByteArray()
                                 << QByteArray("[s]\r\nk=\r\n");
    QTest::newRow("blanks around a value are quoted")
        << QByteArray("[s]\r\nk=1\r\n") << QByteArray("k") << QByteArray(" /b ")
        << QByteArray("[s]\r\nk=\" /b \"\r\n");
    QTest::newRow("quotes of the value's own are quoted")
        << QByteArray() << QByteArray("k") << QByteArray("'x'")
        << QByteArray("[s]\r\nk=\"'x'\"\r\n");
}

void ProfileTextTest::withValue() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, after);
    QCOMPARE(WithValue(before, "s", key, value), after);
    QCOMPARE(Lookup(after, "s", key), std::optional<QByteArray>(value));
}

void ProfileTextTest::sameName_data() {
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("equal") << kSection << kSection << true;
    QTest::newRow("ascii case") << QByteArray("Key") << QByteArray("kEY") << true;
    QTest::newRow("different length") << QByteArray("k") << QByteArray("kk") << false;
    // GBK 0x8141 and 0x8161 are different characters whose second bytes are "A" and "a".
    QTest::newRow("second bytes are not letters")
        << QByteArray("\x81\x41") << QByteArray("\x81\x61") << false;
    QTest::newRow("four-byte characters")
        << QByteArray("\x81\x30\x81\x41") << QByteArray("\x81\x30\x81\x61") << false;
    QTest::newRow("letters after GBK") << QByteArray(
                                              "\xB1\xB8"
                                              "Ab")
                                       << QByteArray(
                                              "\xB1\xB8"
                                              "aB")
                                       << true;
}

void ProfileTextTest::sameName() {
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, same);
    QCOMPARE(ProfileText::SameName(a, b), same);
}

// A read gives 2047 bytes at most, and never the first half of a character.
void ProfileTextTest::longValueIsCut() {
    const QByteArray path = "/" + QByteArray(5000, 'p');
    QCOMPARE(Lookup(WithValue({}, "s", "k", path), "s", "k"), std::optional(path.first(2047)));
    const QByteArray wide = "/" + QByteArray(1023, 'p') + QByteArray("\xB1\xB8").repeated(600);
    QCOMPARE(Lookup(WithValue({}, "s", "k", wide), "s", "k"), std::optional(wide.first(2046)));
}

QTEST_GUILESS_MAIN(ProfileTextTest)
#include "tst_ProfileText.moc"
