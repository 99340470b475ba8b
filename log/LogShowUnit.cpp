#include "log/LogShowUnit.h"

#include "log/LogFile.h"
#include "platform/Guard.h"
#include "platform/Prompts.h"

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

TLogShowForm* LogShowForm = nullptr;

namespace {

// The window's outer size, and its client size under a frame of 4 pixels a side and a
// 30-pixel caption; the client size is what a window without a frame gets.
const QSize kOuterSize(771, 537);
const QSize kClientSize(763, 503);

}  // namespace

QString UniformLogText(const QString& text) {
    // One pass: logs run to megabytes, and QString::replace on them costs several times this.
    const QChar* from = text.constData();
    const QChar* const end = from + text.size();
    QString uniform(text.size(), Qt::Uninitialized);
    QChar* to = uniform.data();
    for (; from != end && *from != u'\0'; ++from) {
        if (*from != u'\r') {
            *to++ = *from;
        } else if (from + 1 == end || from[1] != u'\n') {
            *to++ = u'\n';
        }
    }
    uniform.truncate(to - uniform.constData());
    return uniform;
}

TLogShowForm::TLogShowForm(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("操作日志"));
    resize(kClientSize);
    buildMemo();
    buildMenu();
    centreOnScreen();
}

TLogShowForm::~TLogShowForm() {
    if (LogShowForm == this) {
        LogShowForm = nullptr;
    }
}

void TLogShowForm::buildMemo() {
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(12);
    font.setBold(true);
    Memo1->setFont(font);

    QPalette palette = Memo1->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
    palette.setColor(QPalette::Text, QColor(0, 128, 0));
    Memo1->setPalette(palette);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Memo1);
}

void TLogShowForm::buildMenu() {
    PopupMenu1 = new QMenu(this);
    N1 = PopupMenu1->addAction(QStringLiteral("刷新(&R)"));
    N2 = PopupMenu1->addAction(QStringLiteral("清除(&C)"));
    connect(N1, &QAction::triggered, this, [this] { RunGuarded([this] { N1Click(); }); });
    connect(N2, &QAction::triggered, this, [this] { RunGuarded([this] { N2Click(); }); });

    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        PopupMenu1->popup(Memo1->viewport()->mapToGlobal(position));
    });
}

void TLogShowForm::centreOnScreen() {
    const QScreen* screen =
        parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    QRect outer(QPoint(), kOuterSize);
    outer.moveCenter(screen->availableGeometry().center());
    move(outer.topLeft());
}

// The frame is known only once the window manager has framed the window; then the client
// is sized so that the frame has the window's outer size.
void TLogShowForm::fitFrameToOuterSize() {
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.isNull() || frame == kOuterSize - kClientSize) {
        return;
    }
    resize(kOuterSize - frame);
    centreOnScreen();
}

void TLogShowForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (formShown_) {
        return;
    }
    formShown_ = true;
    QTimer::singleShot(0, this, &TLogShowForm::fitFrameToOuterSize);
    RunGuarded([this] { FormShow(); });
}

void TLogShowForm::placeText(const QString& text) {
    const QString uniform = UniformLogText(text);
    if (uniform == shownText_) {
        return;
    }
    Memo1->setPlainText(uniform);
    shownText_ = uniform;
    Memo1->moveCursor(QTextCursor::Start);
    Memo1->verticalScrollBar()->setValue(0);
}

void TLogShowForm::FormShow() {
    placeText(ReadLog());
}

void TLogShowForm::N1Click() {
    placeText(ReadLog());
}

void TLogShowForm::N2Click() {
    if (!Prompts::instance().confirm(QStringLiteral("您确定要清除现有的日志信息吗？"))) {
        return;
    }
    ClearLog();
    placeText(QString());
}
