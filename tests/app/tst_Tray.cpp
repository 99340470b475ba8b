#include "ScriptedPrompts.h"
#include "TaskFolder.h"
#include "TestFiles.h"
#include "app/MainUnit.h"
#include "log/LogShowUnit.h"
#include "platform/Gb18030.h"

#include <QLineEdit>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

class TrayTest : public QObject {
    Q_OBJECT
private slots:
    void minimiseHidesBehindIcon();
    void onlyLeftClickRestores_data();
    void onlyLeftClickRestores();
    void withoutTrayMinimiseStaysPlain();
    void iconMadeAnewEachTime();
    void startPlanAtLogin_data();
    void startPlanAtLogin();
};

namespace {

void Minimise(TMainForm& form) {
    form.setWindowState(form.windowState() | Qt::WindowMinimized);
}

void ShowForm(TMainForm& form) {
    form.Tray.Available = [] { return true; };
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
}

}  // namespace

void TrayTest::minimiseHidesBehindIcon() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    ShowForm(form);
    form.Button7Click();
    QPointer<TLogShowForm> viewer = LogShowForm;
    QVERIFY(QTest::qWaitForWindowExposed(viewer));
    QVERIFY(!viewer->parentWidget());  // owned by the application: the form may come in front
    form.Edit1->setText("/srv/data");
    const QPoint place = form.pos();

    Minimise(form);
    QTRY_VERIFY(!form.isVisible());
    QVERIFY(!viewer->isVisible());
    QVERIFY(form.Tray.TrayIcon1);
    QVERIFY(form.Tray.TrayIcon1->isVisible());
    QCOMPARE(form.Tray.TrayIcon1->toolTip(), "Tessivar");
    QVERIFY(!form.Tray.TrayIcon1->icon().isNull());

    emit form.Tray.TrayIcon1->activated(QSystemTrayIcon::Trigger);
    QVERIFY(form.isVisible());
    QVERIFY(!form.isMinimized());
    QVERIFY(viewer->isVisible());
    QVERIFY(!form.Tray.TrayIcon1);
    QCOMPARE(form.pos(), place);
    QCOMPARE(form.Edit1->text(), "/srv/data");
    {
        TMainForm ending;
        ending.Button7Click();
        viewer = LogShowForm;
    }
    QVERIFY(!viewer);  // the viewers still open go with the program
}

void TrayTest::onlyLeftClickRestores_data() {
    QTest::addColumn<int>("reason");
    QTest::newRow("right button") << int(QSystemTrayIcon::Context);
    QTest::newRow("middle button") << int(QSystemTrayIcon::MiddleClick);
    QTest::newRow("double click alone") << int(QSystemTrayIcon::DoubleClick);
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown);
}

void TrayTest::onlyLeftClickRestores() {
    QFETCH(int, reason);
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    ShowForm(form);
    Minimise(form);
    QTRY_VERIFY(form.Tray.TrayIcon1);
    emit form.Tray.TrayIcon1->activated(QSystemTrayIcon::ActivationReason(reason));
    QVERIFY(!form.isVisible());
    QVERIFY(form.Tray.TrayIcon1);
}

void TrayTest::withoutTrayMinimiseStaysPlain() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    ShowForm(form);
    form.Tray.Available = [] { return false; };
    Minimise(form);
    QTest::qWait(20);
    QVERIFY(form.isVisible());
    QVERIFY(form.isMinimized());
    QVERIFY(!form.Tray.TrayIcon1);
}

void TrayTest::iconMadeAnewEachTime() {
    TaskFolder task;
    ScriptedPrompts prompts;
    TMainForm form;
    ShowForm(form);
    form.Button8Click();
    QCOMPARE(prompts.informations(), QStringList{"请输入要备份的文件地址！"});
    for (int round = 0; round < 2; ++round) {
        Minimise(form);
        QTRY_VERIFY(form.Tray.TrayIcon1);
        QVERIFY(form.FileTimer2->isActive());  // the plan goes on in the tray
        emit form.Tray.TrayIcon1->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!form.Tray.TrayIcon1);
        QVERIFY(form.isVisible());
    }
}

void TrayTest::startPlanAtLogin_data() {
    QTest::addColumn<bool>("tray");
    QTest::newRow("tray: hidden behind the icon") << true;
    QTest::newRow("no tray: the window shows") << false;
}

void TrayTest::startPlanAtLogin() {
    QFETCH(bool, tray);
    TaskFolder task;
    ScriptedPrompts prompts;
    QVERIFY(WriteBytes("config.ini",
                       ToGb18030("[备份设置]\r\n备份文件源地址=/srv/a\r\n备份文件目的地址=/"
                                 "srv/b\r\n备份频率=星期三;\r\n备份个数=2\r\n")));
    TMainForm form;
    form.Tray.Available = [tray] { return tray; };
    form.StartPlanAtLogin();
    QCOMPARE(form.Edit1->text(), "/srv/a");
    QVERIFY(form.FileTimer2->isActive());
    QCOMPARE(form.PanelText(1), "启动备份计划");
    QCOMPARE(form.isVisible(), !tray);
    QCOMPARE(form.Tray.TrayIcon1 != nullptr, tray);
    QVERIFY(prompts.shown.empty());
}

QTEST_MAIN(TrayTest)
#include "tst_Tray.moc"
