#pragma once

#include <QTimeEdit>

// A time-of-day picker that shows and edits hours and minutes but keeps the seconds it
// was given, so a loaded 8:30:17 is saved back as 8:30:17.
class TDateTimePicker : public QTimeEdit {
    Q_OBJECT
public:
    explicit TDateTimePicker(QWidget* parent);

    QTime Time() const;
    void SetTime(const QTime& time);

private:
    int seconds_ = 0;
};
