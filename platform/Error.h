#pragma once

#include <QString>
#include <stdexcept>

// The one exception type of the program. A handler that meets a failure throws it;
// the guard around every handler shows its text in the application's error box.
class Error : public std::runtime_error {
public:
    explicit Error(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}

    const QString& message() const noexcept { return message_; }

private:
    QString message_;
};

// "Cannot open file "%1". %2" and friends need the system's own words for errno.
QString SystemErrorText(int errnoValue);
