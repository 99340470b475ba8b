#include "app/DateTimePicker.h"

TDateTimePicker::TDateTimePicker(QWidget* parent) : QTimeEdit(parent) {
    setDisplayFormat(QStringLiteral("HH:mm"));
    setWrapping(true);
}

QTime TDateTimePicker::Time() const {
    const QTime shown = time();
    return QTime(shown.hour(), shown.minute(), seconds_);
}

void TDateTimePicker::SetTime(const QTime& time) {
    seconds_ = time.second();
    setTime(QTime(time.hour(), time.minute()));
}
