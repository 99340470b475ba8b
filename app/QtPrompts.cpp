#include "app/QtPrompts.h"

#include "app/VariableUnit.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

namespace {

int ShowBox(QMessageBox::Icon icon, const QString& title, const QString& text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

}  // namespace

void QtPrompts::information(const QString& text) {
    ShowBox(QMessageBox::NoIcon, VariableUnit::kApplicationTitle, text);
}

void QtPrompts::error(const QString& text) {
    ShowBox(QMessageBox::Critical, VariableUnit::kApplicationTitle, text);
}

bool QtPrompts::confirm(const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text);
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

std::optional<QString> QtPrompts::chooseFolder(const QString& caption) {
    QFileDialog dialog(nullptr, caption, QDir::rootPath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog |
                      QFileDialog::DontResolveSymlinks);
    dialog.setWindowModality(Qt::ApplicationModal);
    // Folders are picked from the tree only: no typing a name, no making a new folder.
    for (const char* name : {"newFolderButton", "fileNameEdit", "fileNameLabel"}) {
        if (auto* widget = dialog.findChild<QWidget*>(QLatin1String(name))) {
            widget->hide();
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}
