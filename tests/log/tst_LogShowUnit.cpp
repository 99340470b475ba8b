#include "LogTestSupport.h"
#include "MockClock.h"
#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "app/MainUnit.h"
#include "log/LogFile.h"
#include "log/LogShowUnit.h"
#include "platform/Guard.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

namespace {

const QString kClearQuestion = QStringLiteral("您确定要清除现有的日志信息吗？");

// The main window's "查看操作日志", run as its button runs it; the newest viewer, or nullptr
// when none opened.
TLogShowForm* OpenViewer(TMainForm& mainWindow) {
    TLogShowForm* before = LogShowForm;
    RunGuarded([&mainWindow] { mainWindow.Button7Click(); });
    return LogShowForm == before ? nullptr : LogShowForm;
}

// Every log viewer window there is, whoever owns it.
QList<TLogShowForm*> OpenViewers() {
    QList<TLogShowForm*> viewers;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* viewer = qobject_cast<TLogShowForm*>(window)) {
            viewers << viewer;
        }
    }
    return viewers;
}

QByteArray NumberedLines(int count) {
    QByteArray lines;
    for (int i = 1; i <= count; ++i) {
        lines += "line " + QByteArray::number(i) + "\r\n";
    }
    return lines;
}

QString MemoText(const TLogShowForm* viewer) {
    return viewer->Memo1->toPlainText();
}

QScrollBar* ScrollBar(const TLogShowForm* viewer) {
    return viewer->Memo1->verticalScrollBar();
}

}  // namespace

class LogShowUnitTest : public QObject {
    Q_OBJECT
private slots:
    void init() { LogShowForm = nullptr; }
    void threeOpensGiveThreeViewers();
    void openingWithoutLogFileShowsEmptyText();
    void openingWithoutLogFolderOpensNoViewer();
    void failedFirstReadOpensEmptyViewer();
    void showsLog_data();
    void showsLog();
    void lfOnlyLogShowsOneEntryPerLine();
    void clearNotConfirmedChangesNothing();
    void clearConfirmedEmptiesFileAndOwnText();
    void failedClearKeepsText();
    void refreshOfUnchangedLogKeepsScrollPosition();
    void refreshAfterBackupShowsBeginning();
    void failedRefreshKeepsText();
    void closingDestroysViewer();
    void viewersGoWithMainWindow();
    void windowAndMenu();
};

void LogShowUnitTest::threeOpensGiveThreeViewers() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    TMainForm mainWindow;

    QList<TLogShowForm*> opened;
    for (int i = 0; i < 3; ++i) {
        opened << OpenViewer(mainWindow);
        QVERIFY(opened.back());
    }

    QCOMPARE(OpenViewers().size(), 3);
    QCOMPARE(QSet<TLogShowForm*>(opened.begin(), opened.end()).size(), 3);
    QCOMPARE(LogShowForm, opened.back());
    for (TLogShowForm* viewer : opened) {
        QVERIFY(viewer->isVisible());
        QVERIFY(viewer->isWindow());
    }
    QVERIFY(prompts.shown.empty());
}

void LogShowUnitTest::openingWithoutLogFileShowsEmptyText() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    TMainForm mainWindow;

    TLogShowForm* viewer = OpenViewer(mainWindow);

    QVERIFY(viewer);
    QCOMPARE(MemoText(viewer), QString());
    QVERIFY(QFileInfo(WorkingFiles::kLog).isFile());
    QCOMPARE(QFileInfo(WorkingFiles::kLog).size(), 0);
    QVERIFY(prompts.shown.empty());
}

void LogShowUnitTest::openingWithoutLogFolderOpensNoViewer() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm mainWindow;  // makes the log folder
    QVERIFY(QDir().rmdir(WorkingFiles::kLogFolder));

    QVERIFY(!OpenViewer(mainWindow));

    QCOMPARE(prompts.errors(), QStringList{QStringLiteral("Invalid filename.")});
    QVERIFY(OpenViewers().isEmpty());
}

void LogShowUnitTest::failedFirstReadOpensEmptyViewer() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    QWidget mainWindow;

    auto* viewer = new TLogShowForm(&mainWindow);
    viewer->show();

    QCOMPARE(prompts.errors(),
             QStringList{QStringLiteral("Cannot open file \"%1\". No such file or directory.")
                             .arg(FullLogPath())});
    QVERIFY(viewer->isVisible());
    QCOMPARE(MemoText(viewer), QString());
}

void LogShowUnitTest::showsLog_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("shown");
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << "a\nb\n";
    QTest::newRow("lone CR and LF") << QByteArray("a\rb\nc\r\n\rd") << "a\nb\nc\n\nd";
    QTest::newRow("text after NUL is not shown") << QByteArray("a\r\nb\0c\r\n", 8) << "a\nb";
    QTest::newRow("GB18030") << QByteArray("\xCA\xFD\xBE\xDD\r\n") << "数据\n";
    QTest::newRow("undecodable byte")
        << QByteArray("x\xFFy") << QString::fromUtf8("x\xEF\xBF\xBDy");
}

void LogShowUnitTest::showsLog() {
    QFETCH(QByteArray, log);
    QFETCH(QString, shown);
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, log));
    ScriptedPrompts prompts;
    TMainForm mainWindow;

    TLogShowForm* viewer = OpenViewer(mainWindow);

    QVERIFY(viewer);
    QCOMPARE(MemoText(viewer), shown);
    QCOMPARE(ReadBytes(WorkingFiles::kLog), log);
}

void LogShowUnitTest::lfOnlyLogShowsOneEntryPerLine() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, "entry 1\nentry 2\nentry 3\n"));
    ScriptedPrompts prompts;
    TMainForm mainWindow;

    TLogShowForm* viewer = OpenViewer(mainWindow);

    QVERIFY(viewer);
    const QTextDocument* document = viewer->Memo1->document();
    QCOMPARE(document->blockCount(), 4);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(document->findBlockByNumber(i).text(), QStringLiteral("entry %1").arg(i + 1));
    }
    QCOMPARE(document->findBlockByNumber(3).text(), QString());
}

void LogShowUnitTest::clearNotConfirmedChangesNothing() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(3)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);

    // No, Esc and the title-bar close button all answer "not Yes".
    prompts.confirmAnswers = {false};
    viewer->N2->trigger();

    QCOMPARE(prompts.texts(ScriptedPrompts::Kind::Confirm), QStringList{kClearQuestion});
    QVERIFY(!prompts.unexpected);
    QCOMPARE(ReadBytes(WorkingFiles::kLog), NumberedLines(3));
    QCOMPARE(MemoText(viewer), QStringLiteral("line 1\nline 2\nline 3\n"));
}

void LogShowUnitTest::clearConfirmedEmptiesFileAndOwnText() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(3)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* first = OpenViewer(mainWindow);
    TLogShowForm* second = OpenViewer(mainWindow);
    QVERIFY(first && second);

    prompts.confirmAnswers = {true};
    first->N2->trigger();

    QVERIFY(!prompts.unexpected);
    QVERIFY(prompts.errors().isEmpty());
    QCOMPARE(QFileInfo(WorkingFiles::kLog).size(), 0);
    QCOMPARE(MemoText(first), QString());
    QCOMPARE(MemoText(second), QStringLiteral("line 1\nline 2\nline 3\n"));

    second->N1->trigger();
    QCOMPARE(MemoText(second), QString());
}

void LogShowUnitTest::failedClearKeepsText() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(2)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);
    QVERIFY(QDir(WorkingFiles::kLogFolder).removeRecursively());

    prompts.confirmAnswers = {true};
    viewer->N2->trigger();

    QCOMPARE(prompts.errors(), QStringList{QStringLiteral("Invalid filename.")});
    QCOMPARE(MemoText(viewer), QStringLiteral("line 1\nline 2\n"));
}

void LogShowUnitTest::refreshOfUnchangedLogKeepsScrollPosition() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(2000)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);
    QCoreApplication::processEvents();
    QVERIFY(ScrollBar(viewer)->maximum() > 100);
    ScrollBar(viewer)->setValue(ScrollBar(viewer)->maximum() / 2);
    const int position = ScrollBar(viewer)->value();

    viewer->N1->trigger();
    QCoreApplication::processEvents();

    QCOMPARE(ScrollBar(viewer)->value(), position);
    QVERIFY(prompts.shown.empty());
}

void LogShowUnitTest::refreshAfterBackupShowsBeginning() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(2000)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);
    QCoreApplication::processEvents();
    ScrollBar(viewer)->setValue(ScrollBar(viewer)->maximum() / 2);
    QVERIFY(ScrollBar(viewer)->value() > 0);

    const MockClock clock(QDateTime(QDate(2015, 5, 14), QTime(9, 30, 5)));
    AppendLogLine(QStringLiteral("/src"), QStringLiteral("/bk/src_150514"));
    QVERIFY(MemoText(viewer).endsWith(QStringLiteral("line 2000\n")));
    viewer->N1->trigger();
    QCoreApplication::processEvents();

    QVERIFY(MemoText(viewer).endsWith(QStringLiteral("/bk/src_150514\n")));
    QVERIFY(MemoText(viewer).startsWith(QStringLiteral("line 1\n")));
    QCOMPARE(ScrollBar(viewer)->value(), 0);
}

void LogShowUnitTest::failedRefreshKeepsText() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    QVERIFY(WriteBytes(WorkingFiles::kLog, NumberedLines(2)));
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);
    QVERIFY(QFile::remove(WorkingFiles::kLog));

    viewer->N1->trigger();

    QCOMPARE(prompts.errors(),
             QStringList{QStringLiteral("Cannot open file \"%1\". No such file or directory.")
                             .arg(FullLogPath())});
    QCOMPARE(MemoText(viewer), QStringLiteral("line 1\nline 2\n"));
}

void LogShowUnitTest::closingDestroysViewer() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    QPointer<TLogShowForm> viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);

    viewer->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QVERIFY(viewer.isNull());
    QCOMPARE(LogShowForm, nullptr);
    QVERIFY(prompts.shown.empty());
}

void LogShowUnitTest::viewersGoWithMainWindow() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    auto* mainWindow = new TMainForm;
    QPointer<TLogShowForm> first = OpenViewer(*mainWindow);
    QPointer<TLogShowForm> second = OpenViewer(*mainWindow);
    QVERIFY(first && second);

    delete mainWindow;

    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
}

void LogShowUnitTest::windowAndMenu() {
    TaskFolder task;
    QVERIFY(MakeLogFolder());
    ScriptedPrompts prompts;
    TMainForm mainWindow;
    TLogShowForm* viewer = OpenViewer(mainWindow);
    QVERIFY(viewer);

    QCOMPARE(viewer->windowTitle(), QStringLiteral("操作日志"));
    QVERIFY(viewer->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(viewer->Memo1->geometry(), viewer->rect());
    QVERIFY(viewer->Memo1->isReadOnly());
    QCOMPARE(viewer->Memo1->contextMenuPolicy(), Qt::CustomContextMenu);
    QCOMPARE(viewer->PopupMenu1->actions(), (QList<QAction*>{viewer->N1, viewer->N2}));
    QCOMPARE(viewer->N1->text(), QStringLiteral("刷新(&R)"));
    QCOMPARE(viewer->N2->text(), QStringLiteral("清除(&C)"));

    emit viewer->Memo1->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(viewer->PopupMenu1->isVisible());
    viewer->PopupMenu1->hide();

    viewer->resize(400, 300);
    QCOMPARE(viewer->Memo1->geometry(), viewer->rect());
}

QTEST_MAIN(LogShowUnitTest)
#include "tst_LogShowUnit.moc"
