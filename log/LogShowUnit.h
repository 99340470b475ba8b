#pragma once

#include <QString>
#include <QWidget>

class QAction;
class QMenu;
class QPlainTextEdit;

// The log viewer window: the whole log as read-only text, with refresh and clear in its
// context menu. Destroyed when closed.
class TLogShowForm : public QWidget {
    Q_OBJECT
public:
    explicit TLogShowForm(QWidget* owner = nullptr);
    ~TLogShowForm() override;

    void FormShow();  // fill the text from the log; runs at the first show
    void N1Click();   // refresh
    void N2Click();   // clear, after the question

    // The controls, by the names the rest of the program and its tests know them by.
    QPlainTextEdit* Memo1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildMemo();
    void buildMenu();
    void centreOnScreen();
    void fitFrameToOuterSize();
    void placeText(const QString& text);

    QString shownText_;
    bool formShown_ = false;
};

// The newest viewer opened; nullptr again once that one is closed.
extern TLogShowForm* LogShowForm;

// The log text as the viewer shows it: cut at the first NUL, every line break one "\n"
// (CR LF, a lone CR and a lone LF alike).
QString UniformLogText(const QString& text);
