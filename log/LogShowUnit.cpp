#include "log/LogShowUnit.h"

TLogShowForm* LogShowForm = nullptr;

TLogShowForm::TLogShowForm(QWidget* owner) : QWidget(owner, Qt::Window) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("操作日志"));
}
