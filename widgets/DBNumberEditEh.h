#pragma once

#include <QLineEdit>
#include <optional>

// The backup-count field: a one-line decimal entry with a lower bound of 1.
class TDBNumberEditEh : public QLineEdit {
    Q_OBJECT
public:
    explicit TDBNumberEditEh(QWidget* parent = nullptr);

    QString Text() const { return text(); }
    std::optional<double> Value() const { return value_; }
    // The program's write of the text; throws the conversion error and changes nothing
    // when the text is not a number.
    void SetText(const QString& text);

private:
    std::optional<double> value_;
};
