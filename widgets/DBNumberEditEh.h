#pragma once

#include "widgets/NumberText.h"

#include <QClipboard>
#include <QLineEdit>
#include <functional>
#include <optional>

class QMenu;

// The backup-count field: a one-line decimal entry with a lower bound of 1. It filters what
// is typed, keeps Value following the text, steps with Up/Down and the wheel, and shows the
// value in the general form when the focus leaves it.
class TDBNumberEditEh : public QLineEdit {
    Q_OBJECT
public:
    static constexpr double MinValue = 1;
    static constexpr double MaxValue = 0;
    static constexpr int DecimalPlaces = 2;
    static constexpr double Increment = 1;

    explicit TDBNumberEditEh(QWidget* parent = nullptr,
                             NumberText::Separators separators = NumberText::RegionalSeparators());

    QString Text() const { return text(); }
    std::optional<double> Value() const { return value_; }
    // The program's write of the text; throws the conversion error and changes nothing
    // when the text is not a number. The number is taken unbounded and unrounded.
    void SetText(const QString& text);

    // Pastes from the clipboard without the typing check, refusing a result that is not a
    // number with the conversion error in the application's error box.
    void Paste(QClipboard::Mode mode = QClipboard::Clipboard);

    // The standard edit menu, its paste routed through Paste(). The caller owns it.
    QMenu* CreateContextMenu();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void TypeCharacters(const QString& typed);
    bool TakesCharacter(QChar typed) const;
    void AfterUserChange();
    void InsertUnchecked(const std::function<void()>& insertion);
    void Step(double direction);
    void ShowValue(std::optional<double> value);

    NumberText::Separators separators_;
    std::optional<double> value_;
    std::optional<double> committed_;
    bool insertingUnchecked_ = false;
    int wheelAngle_ = 0;
};
