#pragma once

#include <QWidget>

// The log viewer window: the whole log as read-only text, with refresh and clear.
class TLogShowForm : public QWidget {
    Q_OBJECT
public:
    explicit TLogShowForm(QWidget* owner = nullptr);
};

// The newest viewer opened.
extern TLogShowForm* LogShowForm;
