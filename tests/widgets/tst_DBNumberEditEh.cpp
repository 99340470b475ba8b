#include "ScriptedPrompts.h"
#include "ValueText.h"
#include "platform/Error.h"
#include "widgets/DBNumberEditEh.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <memory>

class NumberEditTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsEmpty();
    void typing_data();
    void typing();
    void caretKeepsDistanceFromEnd();
    void escRestoresCommittedValue();
    void stepKeys_data();
    void stepKeys();
    void wheel_data();
    void wheel();
    void pasteOfNonNumberIsRefused_data();
    void pasteOfNonNumberIsRefused();
    void pastedNumberSkipsTypingCheck();
    void textFromOtherSources_data();
    void textFromOtherSources();
    void pasteOfNumberIsNormalised();
    void programText_data();
    void programText();
    void programTextThatIsNoNumberChangesNothing();
    void popupDoesNotCommit();

private:
    void focusField();
    void leaveField();
    void insertUnchecked(const QString& route, const QString& text);
    QAction* pasteActionOf(QMenu& menu);

    std::unique_ptr<QWidget> window_;
    TDBNumberEditEh* field_ = nullptr;
    QLineEdit* other_ = nullptr;
};

void NumberEditTest::init() {
    window_ = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window_.get());
    field_ = new TDBNumberEditEh(window_.get(), NumberText::Separators{u'.', u','});
    other_ = new QLineEdit(window_.get());
    layout->addWidget(field_);
    layout->addWidget(other_);
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    focusField();
}

void NumberEditTest::cleanup() {
    window_.reset();
    field_ = nullptr;
    other_ = nullptr;
}

void NumberEditTest::focusField() {
    field_->setFocus(Qt::MouseFocusReason);
    QVERIFY(field_->hasFocus());
}

void NumberEditTest::leaveField() {
    other_->setFocus(Qt::MouseFocusReason);
    QVERIFY(!field_->hasFocus());
}

void NumberEditTest::startsEmpty() {
    QCOMPARE(field_->Text(), QString());
    QCOMPARE(ValueText(field_->Value()), ValueText(std::nullopt));
    QCOMPARE(field_->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
}

void NumberEditTest::typing_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("afterLeaving");

    QTest::newRow("0 becomes 1") << "0"
                                 << "0" << 1.0 << "1";
    QTest::newRow("-5 typed, value 1") << "-5"
                                       << "-5" << 1.0 << "1";
    QTest::newRow("third decimal dropped") << "1.234"
                                           << "1.23" << 1.23 << "1.23";
    QTest::newRow("letter dropped") << "1a"
                                    << "1" << 1.0 << "1";
    QTest::newRow("letter into empty") << "x"
                                       << "" << kEmptyValue << "";
    QTest::newRow("comma after 3") << "3,"
                                   << "3." << 3.0 << "3";
    QTest::newRow("lone separator") << "."
                                    << "." << 1.0 << "1";
    QTest::newRow("lone comma") << ","
                                << "." << 1.0 << "1";
    QTest::newRow("007") << "007"
                         << "007" << 7.0 << "7";
    QTest::newRow("2.50") << "2.50"
                          << "2.50" << 2.5 << "2.5";
    QTest::newRow("minus") << "-"
                           << "-" << 0.0 << "0";
    QTest::newRow("plus") << "+"
                          << "+" << 0.0 << "0";
    QTest::newRow("second sign dropped") << "--5"
                                         << "-5" << 1.0 << "1";
    QTest::newRow("open exponent") << "5e"
                                   << "5e" << 5.0 << "5";
    QTest::newRow("exponent first dropped") << "e5"
                                            << "5" << 5.0 << "5";
    QTest::newRow("exponent value") << "1.5e3"
                                    << "1.5e3" << 1500.0 << "1500";
    QTest::newRow("rounded half even down") << "3125e-3"
                                            << "3125e-3" << 3.12 << "3.12";
    QTest::newRow("rounded half even up") << "3375e-3"
                                          << "3375e-3" << 3.38 << "3.38";
    QTest::newRow("small exponent raised") << "1.99e-1"
                                           << "1.99e-1" << 1.0 << "1";
    QTest::newRow("overflow digit dropped") << "1e400"
                                            << "1e40" << 1e40 << "1E40";
    QTest::newRow("second separator dropped") << "1.2.3"
                                              << "1.23" << 1.23 << "1.23";
    QTest::newRow("leading blank vanishes") << " 5"
                                            << "5" << 5.0 << "5";
    QTest::newRow("inner blank vanishes") << "5 5"
                                          << "55" << 55.0 << "55";
    QTest::newRow("backspace") << "12\b"
                               << "1" << 1.0 << "1";
    QTest::newRow("backspace to empty") << "7\b"
                                        << "" << kEmptyValue << "";
}

void NumberEditTest::typing() {
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(double, value);
    QFETCH(QString, afterLeaving);

    QTest::keyClicks(field_, keys);
    QCOMPARE(field_->Text(), shown);
    QCOMPARE(ValueText(field_->Value()), ValueText(FromTable(value)));

    leaveField();
    QCOMPARE(field_->Text(), afterLeaving);
    QCOMPARE(ValueText(field_->Value()), ValueText(FromTable(value)));
}

void NumberEditTest::caretKeepsDistanceFromEnd() {
    QTest::keyClicks(field_, "12");
    QTest::keyClick(field_, Qt::Key_Home);
    QTest::keyClick(field_, Qt::Key_Space);
    QCOMPARE(field_->Text(), QStringLiteral("12"));
    QCOMPARE(field_->cursorPosition(), 0);
    QTest::keyClick(field_, Qt::Key_Minus);
    QCOMPARE(field_->Text(), QStringLiteral("-12"));
    QCOMPARE(ValueText(field_->Value()), ValueText(1.0));
    QTest::keyClick(field_, Qt::Key_Home);
    QTest::keyClick(field_, Qt::Key_Delete);
    QCOMPARE(field_->Text(), QStringLiteral("12"));
    QCOMPARE(ValueText(field_->Value()), ValueText(12.0));
}

void NumberEditTest::escRestoresCommittedValue() {
    field_->SetText("5");
    QTest::keyClick(field_, Qt::Key_End);
    QTest::keyClicks(field_, "12");
    QCOMPARE(field_->Text(), QStringLiteral("512"));
    QTest::keyClick(field_, Qt::Key_Escape);
    QCOMPARE(field_->Text(), QStringLiteral("5"));
    QCOMPARE(field_->selectedText(), QStringLiteral("5"));
    QCOMPARE(ValueText(field_->Value()), ValueText(5.0));

    // Leaving the field commits what was typed; Esc then goes back to that.
    QTest::keyClicks(field_, "0");
    leaveField();
    focusField();
    QTest::keyClick(field_, Qt::Key_End);
    QTest::keyClicks(field_, "12");
    QTest::keyClick(field_, Qt::Key_Escape);
    QCOMPARE(field_->Text(), QStringLiteral("1"));
    QCOMPARE(ValueText(field_->Value()), ValueText(1.0));
}

void NumberEditTest::stepKeys_data() {
    QTest::addColumn<QString>("programText");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("shown");

    QTest::newRow("empty, Up") << "" << int(Qt::Key_Up) << "1";
    QTest::newRow("empty, Down") << "" << int(Qt::Key_Down) << "1";
    QTest::newRow("1, Down stays") << "1" << int(Qt::Key_Down) << "1";
    QTest::newRow("5, Up") << "5" << int(Qt::Key_Up) << "6";
    QTest::newRow("5, Down") << "5" << int(Qt::Key_Down) << "4";
    QTest::newRow("0, Up") << "0" << int(Qt::Key_Up) << "1";
    QTest::newRow("rounded by the step") << "2.567" << int(Qt::Key_Up) << "3.57";
    QTest::newRow("1.5, Down bounded") << "1.5" << int(Qt::Key_Down) << "1";
}

void NumberEditTest::stepKeys() {
    QFETCH(QString, programText);
    QFETCH(int, key);
    QFETCH(QString, shown);

    field_->SetText(programText);
    QTest::keyClick(field_, Qt::Key(key));
    QCOMPARE(field_->Text(), shown);
    QCOMPARE(field_->selectedText(), shown);
    QCOMPARE(ValueText(field_->Value()), ValueText(NumberText::Parse(shown, u'.')));
}

void NumberEditTest::wheel_data() {
    QTest::addColumn<QList<int>>("angles");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QString>("shown");

    const int none = Qt::NoModifier;
    QTest::newRow("forward") << QList<int>{120} << none << int(Qt::NoButton) << "6";
    QTest::newRow("backward") << QList<int>{-120} << none << int(Qt::NoButton) << "4";
    QTest::newRow("two notches") << QList<int>{120, 120} << none << int(Qt::NoButton) << "7";
    QTest::newRow("half notches add up") << QList<int>{60, 60} << none << int(Qt::NoButton) << "6";
    QTest::newRow("half notch alone") << QList<int>{60} << none << int(Qt::NoButton) << "5";
    QTest::newRow("shift held") << QList<int>{120} << int(Qt::ShiftModifier) << int(Qt::NoButton)
                                << "5";
    QTest::newRow("ctrl held") << QList<int>{120} << int(Qt::ControlModifier) << int(Qt::NoButton)
                               << "5";
    QTest::newRow("alt held") << QList<int>{120} << int(Qt::AltModifier) << int(Qt::NoButton)
                              << "5";
    QTest::newRow("button held") << QList<int>{120} << none << int(Qt::LeftButton) << "5";
}

void NumberEditTest::wheel() {
    QFETCH(QList<int>, angles);
    QFETCH(int, modifiers);
    QFETCH(int, buttons);
    QFETCH(QString, shown);

    field_->SetText("5");
    const QPointF centre = field_->rect().center();
    for (int angle : angles) {
        QWheelEvent event(centre, field_->mapToGlobal(centre), QPoint(), QPoint(0, angle),
                          Qt::MouseButtons(buttons), Qt::KeyboardModifiers(modifiers),
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(field_, &event);
    }
    QCOMPARE(field_->Text(), shown);
    QCOMPARE(ValueText(field_->Value()), ValueText(NumberText::Parse(shown, u'.')));
}

void NumberEditTest::pasteOfNonNumberIsRefused_data() {
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("Ctrl+V") << "Ctrl+V"
                            << "5ab";
    QTest::newRow("Shift+Insert") << "Shift+Insert"
                                  << "5ab";
    QTest::newRow("context menu") << "menu"
                                  << "5ab";
    QTest::newRow("drop") << "drop"
                          << "ab5";
}

void NumberEditTest::pasteOfNonNumberIsRefused() {
    QFETCH(QString, route);
    QFETCH(QString, normalised);
    ScriptedPrompts prompts;
    field_->SetText("5");
    QTest::keyClick(field_, Qt::Key_End);
    QGuiApplication::clipboard()->setText("a,b");

    insertUnchecked(route, "a,b");
    QCOMPARE(prompts.errors(),
             QStringList{"'" + normalised + "' is not a valid floating point value."});
    QCOMPARE(field_->Text(), QStringLiteral("5"));
    QCOMPARE(field_->selectedText(), QStringLiteral("5"));
    QCOMPARE(ValueText(field_->Value()), ValueText(5.0));
    QVERIFY(field_->hasFocus());
}

void NumberEditTest::insertUnchecked(const QString& route, const QString& text) {
    if (route == QLatin1String("Ctrl+V")) {
        QTest::keyClick(field_, Qt::Key_V, Qt::ControlModifier);
    } else if (route == QLatin1String("Shift+Insert")) {
        QTest::keyClick(field_, Qt::Key_Insert, Qt::ShiftModifier);
    } else if (route == QLatin1String("menu")) {
        std::unique_ptr<QMenu> menu(field_->CreateContextMenu());
        QAction* paste = pasteActionOf(*menu);
        QVERIFY(paste);
        paste->trigger();
    } else {
        QMimeData data;
        data.setText(text);
        // Left of the right-aligned text: the drop goes in front of it.
        const QPoint start(1, field_->height() / 2);
        QDragEnterEvent enter(start, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field_, &enter);
        QDropEvent drop(start, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(field_, &drop);
    }
}

QAction* NumberEditTest::pasteActionOf(QMenu& menu) {
    for (QAction* action : menu.actions()) {
        if (action->text().startsWith(QLatin1String("&Paste"))) {
            return action;
        }
    }
    return nullptr;
}

void NumberEditTest::pastedNumberSkipsTypingCheck() {
    ScriptedPrompts prompts;
    field_->SetText("8");
    field_->selectAll();
    QGuiApplication::clipboard()->setText("2.345");
    QTest::keyClick(field_, Qt::Key_V, Qt::ControlModifier);
    QVERIFY(prompts.errors().isEmpty());
    QCOMPARE(field_->Text(), QStringLiteral("2.345"));
    QCOMPARE(ValueText(field_->Value()), ValueText(2.35));
}

void NumberEditTest::textFromOtherSources_data() {
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("fullwidth digit key") << "key" << QStringLiteral("５") << "4";
    QTest::newRow("Alt+letter key") << "alt"
                                    << "x"
                                    << "4";
    QTest::newRow("Alt+digit key") << "alt"
                                   << "2"
                                   << "42";
    QTest::newRow("input method digits") << "im"
                                         << "1a2"
                                         << "412";
    QTest::newRow("input method comma") << "im"
                                        << ",5"
                                        << "4.5";
    QTest::newRow("input method letters") << "im" << QStringLiteral("四") << "4";
}

void NumberEditTest::textFromOtherSources() {
    QFETCH(QString, route);
    QFETCH(QString, text);
    QFETCH(QString, shown);

    QTest::keyClicks(field_, "4");
    if (route == QLatin1String("im")) {
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(field_, &event);
    } else {
        const auto modifiers = route == QLatin1String("alt") ? Qt::AltModifier : Qt::NoModifier;
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, modifiers, text);
        QApplication::sendEvent(field_, &press);
    }
    QCOMPARE(field_->Text(), shown);
}

void NumberEditTest::pasteOfNumberIsNormalised() {
    ScriptedPrompts prompts;
    field_->SetText("5");
    QTest::keyClick(field_, Qt::Key_Home);
    QGuiApplication::clipboard()->setText(" 1,00");
    QTest::keySequence(field_, QKeySequence::Paste);
    QVERIFY(prompts.errors().isEmpty());
    QCOMPARE(field_->Text(), QStringLiteral("1005"));
    QCOMPARE(field_->cursorPosition(), 3);
    QCOMPARE(ValueText(field_->Value()), ValueText(1005.0));
}

void NumberEditTest::programText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("value");

    QTest::newRow("0 stays below 1") << "0"
                                     << "0" << 0.0;
    QTest::newRow("blanks around 5") << " 5 "
                                     << "5" << 5.0;
    QTest::newRow("not rounded") << "2.567"
                                 << "2.567" << 2.567;
    QTest::newRow("empty") << ""
                           << "" << kEmptyValue;
    QTest::newRow("general form") << "2.50"
                                  << "2.5" << 2.5;
    QTest::newRow("large") << "1e20"
                           << "1E20" << 1e20;
    QTest::newRow("small") << "0.0000001"
                           << "1E-7" << 1e-7;
}

void NumberEditTest::programText() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(double, value);

    QTest::keyClicks(field_, "9");
    field_->SetText(text);
    QCOMPARE(field_->Text(), shown);
    QCOMPARE(ValueText(field_->Value()), ValueText(FromTable(value)));

    // It is the committed value: Esc comes back to it, leaving keeps it.
    QTest::keyClicks(field_, "7");
    QTest::keyClick(field_, Qt::Key_Escape);
    QCOMPARE(field_->Text(), shown);
    leaveField();
    QCOMPARE(field_->Text(), shown);
    QCOMPARE(ValueText(field_->Value()), ValueText(FromTable(value)));
}

void NumberEditTest::programTextThatIsNoNumberChangesNothing() {
    field_->SetText("7");
    try {
        field_->SetText("abc");
        QFAIL("no conversion error");
    } catch (const Error& error) {
        QCOMPARE(error.message(), QStringLiteral("'abc' is not a valid floating point value"));
    }
    QCOMPARE(field_->Text(), QStringLiteral("7"));
    QCOMPARE(ValueText(field_->Value()), ValueText(7.0));
    QTest::keyClick(field_, Qt::Key_Escape);
    QCOMPARE(field_->Text(), QStringLiteral("7"));
}

void NumberEditTest::popupDoesNotCommit() {
    QTest::keyClicks(field_, "007");
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(field_, &popup);
    QCOMPARE(field_->Text(), QStringLiteral("007"));
    QFocusEvent otherWindow(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(field_, &otherWindow);
    QCOMPARE(field_->Text(), QStringLiteral("007"));
    QTest::keyClick(field_, Qt::Key_Escape);
    QCOMPARE(field_->Text(), QString());
}

QTEST_MAIN(NumberEditTest)
#include "tst_DBNumberEditEh.moc"
