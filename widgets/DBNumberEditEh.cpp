#include "widgets/DBNumberEditEh.h"

#include "platform/Prompts.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QWheelEvent>
#include <algorithm>

namespace {

constexpr int kWheelNotch = 120;

bool IsControlCharacter(QChar c) {
    return c.unicode() < 32 || c.unicode() == 127;
}

// Mirrors when QLineEdit itself would insert the key's text: a printable first character
// and no Ctrl (alone or with Shift), which marks a shortcut.
bool InsertsText(const QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::ControlModifier ||
        modifiers == (Qt::ControlModifier | Qt::ShiftModifier)) {
        return false;
    }
    return !event->text().isEmpty() && !IsControlCharacter(event->text().front());
}

// QLineEdit's menu names its paste action only in newer Qt; older ones are known by the
// caption the menu gives it, "&Paste" (translated) and the shortcut after a tab.
bool IsStandardPasteAction(const QAction* action) {
    return action->objectName() == QLatin1String("edit-paste") ||
           action->text().section(u'\t', 0, 0) == QLineEdit::tr("&Paste");
}

}  // namespace

TDBNumberEditEh::TDBNumberEditEh(QWidget* parent, NumberText::Separators separators)
    : QLineEdit(parent), separators_(separators) {
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setInputMethodHints(Qt::ImhFormattedNumbersOnly);
    connect(this, &QLineEdit::textEdited, this, [this] { AfterUserChange(); });
}

void TDBNumberEditEh::SetText(const QString& text) {
    const auto value = NumberText::ValueOfProgramText(text, separators_);
    ShowValue(value);
    committed_ = value;
}

void TDBNumberEditEh::Paste(QClipboard::Mode mode) {
    if (isReadOnly()) {
        return;
    }
    InsertUnchecked([this, mode] { insert(QGuiApplication::clipboard()->text(mode)); });
}

QMenu* TDBNumberEditEh::CreateContextMenu() {
    QMenu* menu = createStandardContextMenu();
    for (QAction* action : menu->actions()) {
        if (IsStandardPasteAction(action)) {
            disconnect(action, &QAction::triggered, this, nullptr);
            connect(action, &QAction::triggered, this, [this] { Paste(); });
        }
    }
    return menu;
}

void TDBNumberEditEh::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Paste)) {
        Paste();
        event->accept();
        return;
    }
    const bool alt = event->modifiers() & Qt::AltModifier;
    if (event->key() == Qt::Key_Escape) {
        ShowValue(committed_);
        selectAll();
    } else if ((event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) && !alt) {
        Step(event->key() == Qt::Key_Up ? 1 : -1);
    } else if (InsertsText(event)) {
        if (!isReadOnly()) {
            TypeCharacters(event->text());
        }
    } else {
        QLineEdit::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TDBNumberEditEh::inputMethodEvent(QInputMethodEvent* event) {
    if (event->commitString().isEmpty() || isReadOnly()) {
        QLineEdit::inputMethodEvent(event);
        return;
    }
    // The composition ends as usual; what it commits is checked like typing.
    QInputMethodEvent withoutCommit(event->preeditString(), event->attributes());
    QLineEdit::inputMethodEvent(&withoutCommit);
    TypeCharacters(event->commitString());
    event->accept();
}

void TDBNumberEditEh::wheelEvent(QWheelEvent* event) {
    const bool modifierHeld =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (!hasFocus() || modifierHeld || event->buttons() != Qt::NoButton) {
        QLineEdit::wheelEvent(event);
        return;
    }
    // Fine-grained wheels send parts of a notch; one step per whole notch.
    wheelAngle_ += event->angleDelta().y();
    for (; wheelAngle_ >= kWheelNotch; wheelAngle_ -= kWheelNotch) {
        Step(1);
    }
    for (; wheelAngle_ <= -kWheelNotch; wheelAngle_ += kWheelNotch) {
        Step(-1);
    }
    event->accept();
}

void TDBNumberEditEh::focusOutEvent(QFocusEvent* event) {
    // A menu or another window taking the focus for a while is not leaving the field.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason) {
        committed_ = value_;
        ShowValue(value_);
    }
    QLineEdit::focusOutEvent(event);
}

void TDBNumberEditEh::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TDBNumberEditEh::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton) {
        // The X11 selection paste.
        InsertUnchecked([this, event] { QLineEdit::mouseReleaseEvent(event); });
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void TDBNumberEditEh::dropEvent(QDropEvent* event) {
    InsertUnchecked([this, event] { QLineEdit::dropEvent(event); });
}

void TDBNumberEditEh::TypeCharacters(const QString& typed) {
    for (QChar c : typed) {
        if (c == u'.' || c == u',') {
            c = separators_.decimal;
        }
        if (TakesCharacter(c)) {
            insert(QString(c));
        }
    }
}

bool TDBNumberEditEh::TakesCharacter(QChar typed) const {
    QString result = text();
    if (hasSelectedText()) {
        result.replace(selectionStart(), selectedText().size(), typed);
    } else {
        result.insert(cursorPosition(), typed);
    }
    return NumberText::AcceptableWhileTyping(NumberText::Normalised(result, separators_),
                                             DecimalPlaces, separators_.decimal);
}

void TDBNumberEditEh::AfterUserChange() {
    if (insertingUnchecked_) {
        return;
    }
    const QString current = text();
    if (!current.isEmpty() && current != QLatin1String("-")) {
        const QString normalised = NumberText::Normalised(current, separators_);
        if (normalised != current) {
            const qsizetype fromEnd = current.size() - cursorPosition();
            setText(normalised);
            setCursorPosition(
                static_cast<int>(std::max<qsizetype>(0, normalised.size() - fromEnd)));
        }
    }
    value_ = NumberText::ValueOfTypedText(text(), MinValue, MaxValue, DecimalPlaces, separators_);
}

void TDBNumberEditEh::InsertUnchecked(const std::function<void()>& insertion) {
    const QString before = text();
    const auto valueBefore = value_;
    insertingUnchecked_ = true;
    insertion();
    insertingUnchecked_ = false;
    if (text() == before) {
        return;
    }
    const QString normalised = NumberText::Normalised(text(), separators_);
    if (NumberText::StandsForValue(normalised, separators_.decimal)) {
        AfterUserChange();
        return;
    }
    ShowApplicationError(NumberText::ConversionErrorText(normalised));
    setText(before);
    value_ = valueBefore;
    selectAll();
    setFocus(Qt::OtherFocusReason);
}

void TDBNumberEditEh::Step(double direction) {
    const double stepped = value_ ? *value_ + direction * Increment : 1.0;
    ShowValue(NumberText::BoundRule(stepped, MinValue, MaxValue, DecimalPlaces));
    selectAll();
}

void TDBNumberEditEh::ShowValue(std::optional<double> value) {
    value_ = value;
    setText(NumberText::General(value, separators_.decimal));
}
