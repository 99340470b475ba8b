#include "widgets/DBNumberEditEh.h"

#include "widgets/NumberText.h"

TDBNumberEditEh::TDBNumberEditEh(QWidget* parent) : QLineEdit(parent) {
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TDBNumberEditEh::SetText(const QString& text) {
    const auto value = NumberText::ValueOfProgramText(text);
    value_ = value;
    setText(value ? NumberText::General(*value) : QString());
}
