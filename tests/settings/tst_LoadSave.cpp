#include "FakeFields.h"
#include "FileAttributes.h"
#include "MockClock.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "platform/Error.h"
#include "platform/Gb18030.h"
#include "platform/Guard.h"
#include "platform/TimeFormat.h"
#include "platform/Weekdays.h"
#include "platform/WorkingFiles.h"
#include "settings/Settings.h"
#include "widgets/DBNumberEditEh.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace {

const QTime kLoadTime(14, 15, 16);
const QString kSaved = QStringLiteral("配置文件保存完毕!");
const QString kSaveFailed = QStringLiteral("配置文件保存失败!");

// Lines of a file as GBK bytes, each ended with CR LF.
QByteArray Lines(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines) {
        bytes += ToGb18030(line) + "\r\n";
    }
    return bytes;
}

// The file a Windows save leaves for D:\资料\合同, E:\备份, Monday, Tuesday, Friday, 8:30, 5.
const QByteArray kExample(
    "[\xB1\xB8\xB7\xDD\xC9\xE8\xD6\xC3]\r\n"
    "\xB1\xB8\xB7\xDD\xCE\xC4\xBC\xFE\xD4\xB4\xB5\xD8\xD6\xB7=D:"
    "\\\xD7\xCA\xC1\xCF\\\xBA\xCF\xCD\xAC\r\n"
    "\xB1\xB8\xB7\xDD\xCE\xC4\xBC\xFE\xC4\xBF\xB5\xC4\xB5\xD8\xD6\xB7=E:\\\xB1\xB8\xB7\xDD\r\n"
    "\xB6\xA8\xCA\xB1\xCA\xB1\xBF\xCC=8:30:00\r\n"
    "\xB1\xB8\xB7\xDD\xC6\xB5\xC2\xCA=\xD0\xC7\xC6\xDA\xD2\xBB;\xD0\xC7\xC6\xDA\xB6\xFE ;"
    "\xD0\xC7\xC6\xDA\xCE\xE5;\r\n"
    "\xB1\xB8\xB7\xDD\xB8\xF6\xCA\xFD=5\r\n");

TimeFormat TwentyFourHour() {
    TimeFormat format;
    format.twelveHour = false;
    format.leadingZero = false;
    format.separator = u':';
    return format;
}

TimeFormat TwelveHour(bool designatorAfter, bool leadingZero) {
    TimeFormat format = TwentyFourHour();
    format.twelveHour = true;
    format.designatorAfter = designatorAfter;
    format.leadingZero = leadingZero;
    return format;
}

QString Ticks(const FakeFields& fields) {
    QString ticks;
    for (bool ticked : fields.Days) {
        ticks += ticked ? u'1' : u'0';
    }
    return ticks;
}

void SetTicks(FakeFields& fields, const QString& ticks) {
    for (int day = 0; day < kWeekdayCount; ++day) {
        fields.Days[day] = ticks.at(day) == u'1';
    }
}

// Fields that pass every check of the save.
FakeFields Valid() {
    FakeFields fields;
    fields.Edit1 = QStringLiteral("/home/user/资料");
    fields.Edit2 = QStringLiteral("/backup");
    fields.Days[0] = true;
    fields.Picker = QTime(8, 30, 0);
    fields.SetCount(QStringLiteral("5"), 5);
    return fields;
}

QStringList FolderEntries() {
    return QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                     QDir::NoDotAndDotDot);
}

}  // namespace

class LoadSaveTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void exampleRoundTrip_data();
    void exampleRoundTrip();
    void saveCreatesTheExample();
    void saveUnderTwelveHours_data();
    void saveUnderTwelveHours();
    void secondsOfTheFileAreWrittenBack();
    void windowsFileKeepsAllButTheValues();

    void noFile_data();
    void noFile();
    void timeMissingOrEmptyKeepsLoadTime_data();
    void timeMissingOrEmptyKeepsLoadTime();
    void dayList_data();
    void dayList();
    void loadNeverUnticks();
    void invalidTimeStopsTheLoad();
    void invalidCountStopsTheLoad();
    void hostileFiles_data();
    void hostileFiles();

    void builtDayList_data();
    void builtDayList();
    void checks_data();
    void checks();
    void countAsShown_data();
    void countAsShown();
    void unwritableConfig_data();
    void unwritableConfig();
    void failedWriteKeepsEarlierKeys();
    void valueThatCannotReadBack_data();
    void valueThatCannotReadBack();
    void configThatIsNoFile_data();
    void configThatIsNoFile();

private:
    std::shared_ptr<TDBNumberEditEh> countField_;  // the load writes the count through it
    TimeFormat previousFormat_;
    std::optional<MockClock> clock_;
    std::optional<ScriptedPrompts> prompts_;
};

void LoadSaveTest::init() {
    countField_ = std::make_shared<TDBNumberEditEh>();
    FakeFields::countWriter = [field = countField_](FakeFields& fields, const QString& text) {
        field->SetText(text);
        fields.SetCount(field->Text(), field->Value());
    };
    previousFormat_ = TimeFormat::current();
    TimeFormat::setCurrent(TwentyFourHour());
    clock_.emplace(QDateTime(QDate(2024, 3, 4), kLoadTime));
    prompts_.emplace();
}

void LoadSaveTest::cleanup() {
    FakeFields::countWriter = nullptr;
    countField_.reset();
    QVERIFY(!prompts_->unexpected);
    prompts_.reset();
    clock_.reset();
    TimeFormat::setCurrent(previousFormat_);
}

void LoadSaveTest::exampleRoundTrip_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    const QByteArray source = "=D:\\\xD7\xCA\xC1\xCF\\\xBA\xCF\xCD\xAC\r\n";
    const QByteArray destination = "=E:\\\xB1\xB8\xB7\xDD\r\n";
    QTest::newRow("as the save writes it") << kExample << "D:\\资料\\合同"
                                           << "E:\\备份";
    // Code page 936's euro (0x80), and bytes that decode to nothing, stay as they were.
    QTest::newRow("euro and undecodable bytes")
        << QByteArray(kExample).replace(source, "=D:\\\x80\xFF\x81\r\n") << "D:\\€\uFFFD\uFFFD"
        << "E:\\备份";
    // As someone may edit the file by hand: blanks, tabs and quotes around the values.
    QTest::newRow("quotes and blanks")
        << QByteArray(kExample)
               .replace(source, "= \"D:\\\xD7\xCA\xC1\xCF\\\xBA\xCF\xCD\xAC\" \t\r\n")
               .replace(destination, "=\t'E:\\\xB1\xB8\xB7\xDD' \r\r\n")
        << "D:\\资料\\合同"
        << "E:\\备份";
}

void LoadSaveTest::exampleRoundTrip() {
    QFETCH(QByteArray, file);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, file));
    FakeFields fields;
    LoadSettings(fields);
    QCOMPARE(fields.Edit1, source);
    QCOMPARE(fields.Edit2, destination);
    QCOMPARE(fields.Picker, QTime(8, 30, 0));
    QCOMPARE(fields.DayList, QStringLiteral("星期一;星期二 ;星期五;"));
    QCOMPARE(Ticks(fields), QStringLiteral("1100100"));
    QCOMPARE(fields.Count, QStringLiteral("5"));
    QCOMPARE(fields.Panels[0], kCreditText);

    SaveSettings(fields);
    QCOMPARE(fields.Panels[1], kSaved);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), file);
    QVERIFY(prompts_->shown.empty());
}

void LoadSaveTest::saveCreatesTheExample() {
    TaskFolder folder;
    FakeFields fields;
    fields.Edit1 = QStringLiteral("D:\\资料\\合同");
    fields.Edit2 = QStringLiteral("E:\\备份");
    SetTicks(fields, QStringLiteral("1100100"));
    fields.Picker = QTime(8, 30, 0);
    fields.SetCount(QStringLiteral("5"), 5);
    SaveSettings(fields);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), kExample);
    QCOMPARE(fields.DayList, QStringLiteral("星期一;星期二 ;星期五;"));
    QCOMPARE(fields.Panels[1], kSaved);
}

void LoadSaveTest::saveUnderTwelveHours_data() {
    QTest::addColumn<bool>("designatorAfter");
    QTest::addColumn<bool>("leadingZero");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("written");
    QTest::newRow("evening, after") << true << false << QTime(20, 30, 17) << "8:30:17 PM";
    QTest::newRow("morning, before") << false << false << QTime(8, 5, 0) << "AM 8:05:00";
    QTest::newRow("midnight, zero") << true << true << QTime(0, 0, 9) << "12:00:09 AM";
    QTest::newRow("noon") << true << false << QTime(12, 59, 59) << "12:59:59 PM";
}

void LoadSaveTest::saveUnderTwelveHours() {
    QFETCH(bool, designatorAfter);
    QFETCH(bool, leadingZero);
    QFETCH(QTime, time);
    QFETCH(QString, written);
    TimeFormat::setCurrent(TwelveHour(designatorAfter, leadingZero));
    TaskFolder folder;
    FakeFields fields = Valid();
    fields.Picker = time;
    SaveSettings(fields);
    QVERIFY(ReadBytes(WorkingFiles::kConfig).contains(Lines({"定时时刻=" + written})));

    FakeFields loaded;
    LoadSettings(loaded);
    QCOMPARE(loaded.Picker, time);
}

void LoadSaveTest::secondsOfTheFileAreWrittenBack() {
    TaskFolder folder;
    const QByteArray file = QByteArray(kExample).replace("=8:30:00", "=8:30:17");
    QVERIFY(WriteBytes(WorkingFiles::kConfig, file));
    FakeFields fields;
    LoadSettings(fields);
    QCOMPARE(fields.Picker, QTime(8, 30, 17));
    SaveSettings(fields);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), file);
}

void LoadSaveTest::windowsFileKeepsAllButTheValues() {
    TaskFolder folder;
    const auto file = [](const QString& source, const QString& time, const QString& days,
                         const QString& count) {
        return Lines({"; 由用户编辑", "[其他]", "备份个数=99", "", "[备份设置]", "备注=保留",
                      "备份个数=" + count, "定时时刻=" + time, "备份文件源地址=" + source,
                      "备份频率=" + days, "备份文件目的地址=E:\\备份", "", "[尾部]", "x=1"});
    };
    const QByteArray before = file("D:\\资料", "7:05:00", "星期三;", "3");
    QVERIFY(WriteBytes(WorkingFiles::kConfig, before));
    FakeFields fields;
    LoadSettings(fields);
    QCOMPARE(fields.Count, QStringLiteral("3"));
    QCOMPARE(Ticks(fields), QStringLiteral("0010000"));

    SaveSettings(fields);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), before);

    fields.Edit1 = QStringLiteral("/srv/新资料");
    fields.Days[6] = true;
    fields.Picker = QTime(23, 59, 1);
    fields.SetCount(QStringLiteral("12"), 12);
    SaveSettings(fields);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig),
             file("/srv/新资料", "23:59:01", "星期三;星期日;", "12"));
}

void LoadSaveTest::noFile_data() {
    QTest::addColumn<bool>("folderOfThatName");
    QTest::newRow("nothing there") << false;
    QTest::newRow("a folder named config.ini") << true;
}

void LoadSaveTest::noFile() {
    QFETCH(bool, folderOfThatName);
    TaskFolder folder;
    if (folderOfThatName) {
        QVERIFY(QDir().mkdir(QStringLiteral("config.ini")));
    }
    FakeFields fields;
    fields.Edit1 = QStringLiteral("stale");
    fields.Edit2 = QStringLiteral("stale");
    LoadSettings(fields);
    QCOMPARE(fields.Edit1, QString());
    QCOMPARE(fields.Edit2, QString());
    QCOMPARE(fields.Picker, kLoadTime);
    QCOMPARE(Ticks(fields), QStringLiteral("0000000"));
    QCOMPARE(fields.Count, QString());
    QCOMPARE(fields.DayList, QString());
    QCOMPARE(fields.Panels[0], kCreditText);
    QCOMPARE(QFileInfo(WorkingFiles::kConfig).isDir(), folderOfThatName);
}

void LoadSaveTest::timeMissingOrEmptyKeepsLoadTime_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("missing") << Lines({"[备份设置]", "备份文件源地址=/a"});
    QTest::newRow("empty") << Lines({"[备份设置]", "备份文件源地址=/a", "定时时刻="});
}

void LoadSaveTest::timeMissingOrEmptyKeepsLoadTime() {
    QFETCH(QByteArray, file);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, file));
    FakeFields fields;
    LoadSettings(fields);
    QCOMPARE(fields.Edit1, QStringLiteral("/a"));
    QCOMPARE(fields.Picker, kLoadTime);
    QCOMPARE(fields.Panels[0], kCreditText);
}

void LoadSaveTest::dayList_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("ticks");
    QTest::newRow("all seven") << "星期一;星期二 ;星期三;星期四;星期五;星期六 ;星期日;"
                               << "1111111";
    QTest::newRow("Tuesday and Saturday with blanks") << "星期二 ;星期六 ;"
                                                      << "0100010";
    QTest::newRow("another order") << "星期日;星期三;星期一;"
                                   << "1010001";
    QTest::newRow("text between names") << "每逢星期四和星期五备份"
                                        << "0001100";
    QTest::newRow("no separators") << "星期一星期二"
                                   << "1100000";
    QTest::newRow("星期天 is not Sunday") << "星期天;"
                                          << "0000000";
    QTest::newRow("empty") << ""
                           << "0000000";
    QTest::newRow("a half name") << "星期;期一"
                                 << "0000000";
}

void LoadSaveTest::dayList() {
    QFETCH(QString, list);
    QFETCH(QString, ticks);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, Lines({"[备份设置]", "备份频率=" + list})));
    FakeFields fields;
    LoadSettings(fields);
    QCOMPARE(fields.DayList, list);
    QCOMPARE(Ticks(fields), ticks);
}

void LoadSaveTest::loadNeverUnticks() {
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, Lines({"[备份设置]", "备份频率=星期一;"})));
    FakeFields fields;
    SetTicks(fields, QStringLiteral("0100001"));
    LoadSettings(fields);
    QCOMPARE(Ticks(fields), QStringLiteral("1100001"));
}

void LoadSaveTest::invalidTimeStopsTheLoad() {
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig,
                       Lines({"[备份设置]", "备份文件源地址=/src", "备份文件目的地址=/dst",
                              "定时时刻=25:99", "备份频率=星期一;", "备份个数=3"})));
    FakeFields fields;
    RunGuarded([&] { LoadSettings(fields); });
    QCOMPARE(prompts_->errors(), QStringList{QStringLiteral("'25:99' is not a valid time.")});
    QCOMPARE(fields.Edit1, QStringLiteral("/src"));
    QCOMPARE(fields.Count, QStringLiteral("3"));
    QCOMPARE(fields.Edit2, QStringLiteral("/dst"));
    QCOMPARE(fields.DayList, QStringLiteral("星期一;"));
    QCOMPARE(fields.Picker, kLoadTime);
    QCOMPARE(Ticks(fields), QStringLiteral("0000000"));
    QCOMPARE(fields.Panels[0], QString());
}

void LoadSaveTest::invalidCountStopsTheLoad() {
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig,
                       Lines({"[备份设置]", "备份文件源地址=/src", "备份文件目的地址=/dst",
                              "定时时刻=9:00:00", "备份频率=星期一;", "备份个数=abc"})));
    FakeFields fields;
    RunGuarded([&] { LoadSettings(fields); });
    QCOMPARE(prompts_->errors(),
             QStringList{QStringLiteral("'abc' is not a valid floating point value.")});
    QCOMPARE(fields.Edit1, QStringLiteral("/src"));
    QCOMPARE(fields.Edit2, QString());
    QCOMPARE(fields.DayList, QString());
    QCOMPARE(fields.Picker, kLoadTime);
    QCOMPARE(Ticks(fields), QStringLiteral("0000000"));
    QCOMPARE(fields.Panels[0], QString());
}

void LoadSaveTest::hostileFiles_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("loadEnds");

    QTest::newRow("no section") << Lines({"备份文件源地址=/a", "备份频率=星期一;"}) << "" << true;
    QTest::newRow("duplicate keys")
        << Lines({"[备份设置]", "备份文件源地址=/first", "备份文件源地址=/second"}) << "/first"
        << true;
    QTest::newRow("key line without equals")
        << Lines({"[备份设置]", "备份文件源地址", "备份个数"}) << "" << true;
    QTest::newRow("10 MB line") << Lines({"[备份设置]", QString(10 * 1024 * 1024, u'x'),
                                          "备份文件源地址=/a"})
                                << "/a" << true;
    QTest::newRow("10 MB value") << Lines({"[备份设置]",
                                           "备份文件源地址=/" + QString(10 * 1024 * 1024, u'y')})
                                 << "/" + QString(2046, u'y') << true;
    QTest::newRow("bytes that are not GB18030")
        << ToGb18030("[备份设置]\r\n备份文件源地址=/a") + "\xFF\x80\xFE\r\n" +
               ToGb18030("备份频率=星期五") + "\xFF;\r\n" + "\x81\r\n"
        << QStringLiteral("/a\uFFFD€\uFFFD") << true;
    QTest::newRow("not a time") << ToGb18030("[备份设置]\r\n定时时刻=") + "\xFF\xFE\r\n"
                                << "" << false;
    QTest::newRow("binary junk") << QByteArray("\0\x01[\xFF]\n=\n[\n]\r\r\n\xB1", 14) << "" << true;
}

void LoadSaveTest::hostileFiles() {
    QFETCH(QByteArray, file);
    QFETCH(QString, source);
    QFETCH(bool, loadEnds);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, file));
    QVERIFY(QFile::setPermissions(WorkingFiles::kConfig, QFile::ReadOwner | QFile::WriteOwner));
    const QDateTime modified = QFileInfo(WorkingFiles::kConfig).lastModified();
    FakeFields fields;
    RunGuarded([&] { LoadSettings(fields); });
    QCOMPARE(fields.Edit1, source);
    QCOMPARE(fields.Panels[0], loadEnds ? kCreditText : QString());
    QCOMPARE(prompts_->errors().size(), loadEnds ? 0 : 1);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), file);
    QCOMPARE(QFileInfo(WorkingFiles::kConfig).lastModified(), modified);
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

void LoadSaveTest::builtDayList_data() {
    QTest::addColumn<QString>("ticks");
    QTest::addColumn<QString>("list");
    QTest::newRow("all seven") << "1111111"
                               << "星期一;星期二 ;星期三;星期四;星期五;星期六 ;星期日;";
    QTest::newRow("Tuesday and Saturday") << "0100010"
                                          << "星期二 ;星期六 ;";
    QTest::newRow("Wednesday and Sunday") << "0010001"
                                          << "星期三;星期日;";
}

void LoadSaveTest::builtDayList() {
    QFETCH(QString, ticks);
    QFETCH(QString, list);
    TaskFolder folder;
    FakeFields fields = Valid();
    SetTicks(fields, ticks);
    QCOMPARE(DayListOf(fields), list);
    SaveSettings(fields);
    QCOMPARE(fields.DayList, list);
    QVERIFY(ReadBytes(WorkingFiles::kConfig).contains(Lines({"备份频率=" + list})));
}

void LoadSaveTest::checks_data() {
    QTest::addColumn<QString>("edit1");
    QTest::addColumn<QString>("edit2");
    QTest::addColumn<QString>("ticks");
    QTest::addColumn<QString>("count");
    QTest::addColumn<std::optional<double>>("value");
    QTest::addColumn<QString>("message");
    const QString src = QStringLiteral("/src");
    const QString dst = QStringLiteral("/dst");
    const QString monday = QStringLiteral("1000000");
    QTest::newRow("no source") << "" << dst << monday << "5" << std::optional(5.0)
                               << "请输入要备份的文件地址！";
    QTest::newRow("no destination")
        << src << "" << monday << "5" << std::optional(5.0) << "请输入备份文件的目的地址！";
    QTest::newRow("no day") << src << dst << "0000000"
                            << "5" << std::optional(5.0) << "请选定备份日期！";
    QTest::newRow("empty count") << src << dst << monday << "" << std::optional<double>()
                                 << "请输入备份个数！";
    QTest::newRow("count of blanks")
        << src << dst << monday << "  \t" << std::optional<double>() << "请输入备份个数！";
    QTest::newRow("count 0") << src << dst << monday << "0" << std::optional(0.0)
                             << "备份个数输入不合法！";
    QTest::newRow("count 0.5") << src << dst << monday << "0.5" << std::optional(0.5)
                               << "备份个数输入不合法！";
    QTest::newRow("lone sign") << src << dst << monday << "-" << std::optional(0.0)
                               << "备份个数输入不合法！";
    QTest::newRow("negative") << src << dst << monday << "-3" << std::optional(-3.0)
                              << "备份个数输入不合法！";
    QTest::newRow("text without value")
        << src << dst << monday << "x" << std::optional<double>() << "备份个数输入不合法！";
    QTest::newRow("everything missing")
        << ""
        << ""
        << "0000000"
        << "" << std::optional<double>() << "请输入要备份的文件地址！";
}

void LoadSaveTest::checks() {
    QFETCH(QString, edit1);
    QFETCH(QString, edit2);
    QFETCH(QString, ticks);
    QFETCH(QString, count);
    QFETCH(std::optional<double>, value);
    QFETCH(QString, message);
    TaskFolder folder;
    FakeFields fields;
    fields.Edit1 = edit1;
    fields.Edit2 = edit2;
    SetTicks(fields, ticks);
    fields.SetCount(count, value);
    fields.DayList = QStringLiteral("earlier");
    fields.Panels = {QStringLiteral("p0"), QStringLiteral("p1")};
    SaveSettings(fields);
    QCOMPARE(prompts_->informations(), QStringList{message});
    QCOMPARE(fields.DayList, QStringLiteral("earlier"));
    QCOMPARE(fields.Panels[0], QStringLiteral("p0"));
    QCOMPARE(fields.Panels[1], QStringLiteral("p1"));
    QVERIFY(FolderEntries().isEmpty());
}

void LoadSaveTest::countAsShown_data() {
    QTest::addColumn<QString>("edit1");
    QTest::addColumn<QString>("count");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("written");  // the count, then the source, as the lines hold them
    QTest::newRow("fraction above 1") << "/src"
                                      << "1.5" << 1.5 << "1.5|/src";
    // Quoted, so that the blanks read back: a Linux folder name may end in one.
    QTest::newRow("blanks kept") << "/my src "
                                 << " 3 " << 3.0 << "\" 3 \"|\"/my src \"";
    QTest::newRow("a blank source is a source") << " "
                                                << "1" << 1.0 << "1|\" \"";
    QTest::newRow("quotes of the path's own") << "\"/src\""
                                              << "1" << 1.0 << "1|\"\"/src\"\"";
}

void LoadSaveTest::countAsShown() {
    QFETCH(QString, edit1);
    QFETCH(QString, count);
    QFETCH(double, value);
    QFETCH(QString, written);
    TaskFolder folder;
    FakeFields fields = Valid();
    fields.Edit1 = edit1;
    fields.SetCount(count, value);
    SaveSettings(fields);
    QVERIFY(prompts_->shown.empty());
    QCOMPARE(fields.Panels[1], kSaved);
    const QByteArray file = ReadBytes(WorkingFiles::kConfig);
    QVERIFY(file.contains(Lines({"备份个数=" + written.section(u'|', 0, 0)})));
    QVERIFY(file.contains(Lines({"备份文件源地址=" + written.section(u'|', 1)})));

    FakeFields loaded;
    LoadSettings(loaded);
    QCOMPARE(loaded.Edit1, edit1);
    QCOMPARE(loaded.Count, NumberText::General(value));
}

void LoadSaveTest::unwritableConfig_data() {
    QTest::addColumn<bool>("immutable");
    QTest::newRow("read-only") << false;
    QTest::newRow("immutable") << true;
}

void LoadSaveTest::unwritableConfig() {
    QFETCH(bool, immutable);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, kExample));
    std::optional<Immutable> attribute;
    if (immutable) {
        attribute.emplace(WorkingFiles::kConfig);
        if (!attribute->isSet()) {
            QSKIP("chattr +i needs root on a file system with attributes");
        }
    } else {
        QVERIFY(QFile::setPermissions(WorkingFiles::kConfig,
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    FakeFields fields = Valid();
    SetTicks(fields, QStringLiteral("0000011"));
    SaveSettings(fields);
    QCOMPARE(fields.Panels[1], kSaveFailed);
    QVERIFY(prompts_->shown.empty());
    QCOMPARE(fields.DayList, QStringLiteral("星期六 ;星期日;"));
    attribute.reset();
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), kExample);
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

void LoadSaveTest::failedWriteKeepsEarlierKeys() {
    TaskFolder folder;
    const QByteArray twoKeys =
        Lines({"[备份设置]", "备份文件源地址=/src", "备份文件目的地址=/dst"});
    FakeFields fields = Valid();
    fields.Edit1 = QStringLiteral("/src");
    fields.Edit2 = QStringLiteral("/dst");
    {
        // The third write needs a longer file than the second left.
        FileSizeLimit limit(twoKeys.size() + 4);
        SaveSettings(fields);
    }
    QCOMPARE(fields.Panels[1], kSaveFailed);
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), twoKeys);
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

void LoadSaveTest::valueThatCannotReadBack_data() {
    QTest::addColumn<QString>("edit1");
    QTest::addColumn<QString>("edit2");
    QTest::addColumn<QString>("count");
    QTest::newRow("source with LF") << "/home/a\n[备份设置]"
                                    << "/dst"
                                    << "5";
    QTest::newRow("destination with CR") << "/src"
                                         << "/b\rx"
                                         << "5";
    QTest::newRow("count with LF") << "/src"
                                   << "/dst"
                                   << "5\n";
    QTest::newRow("destination longer than a read") << "/src" << u'/' + QString(2047, u'd') << "5";
}

// Refused before any key is written, and told as a failed save is told.
void LoadSaveTest::valueThatCannotReadBack() {
    QFETCH(QString, edit1);
    QFETCH(QString, edit2);
    QFETCH(QString, count);
    TaskFolder folder;
    QVERIFY(WriteBytes(WorkingFiles::kConfig, kExample));
    FakeFields fields = Valid();
    fields.Edit1 = edit1;
    fields.Edit2 = edit2;
    fields.SetCount(count, 5);
    RunGuarded([&] { SaveSettings(fields); });
    QVERIFY(prompts_->shown.empty());
    QCOMPARE(ReadBytes(WorkingFiles::kConfig), kExample);
    QCOMPARE(fields.Panels[1], kSaveFailed);
}

void LoadSaveTest::configThatIsNoFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to /dev/zero") << "zero";
}

// Neither the load nor the save may wait on it or read it without end.
void LoadSaveTest::configThatIsNoFile() {
    QFETCH(QString, kind);
    TaskFolder folder;
    const QByteArray config = QFile::encodeName(WorkingFiles::kConfig);
    QVERIFY(kind == "fifo" ? ::mkfifo(config.constData(), 0644) == 0
                           : ::symlink("/dev/zero", config.constData()) == 0);
    FakeFields fields = Valid();
    RunGuarded([&] { LoadSettings(fields); });
    QCOMPARE(prompts_->errors(),
             QStringList{"Cannot read file \"./config.ini\". It is not a regular file."});
    QCOMPARE(fields.Panels[0], QString());

    FakeFields saved = Valid();
    SaveSettings(saved);
    QCOMPARE(saved.Panels[1], kSaveFailed);
    QCOMPARE(prompts_->shown.size(), size_t{1});
    QCOMPARE(FolderEntries(), QStringList{QStringLiteral("config.ini")});
}

QTEST_MAIN(LoadSaveTest)
#include "tst_LoadSave.moc"
