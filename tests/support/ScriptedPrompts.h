#pragma once

#include "platform/Prompts.h"

#include <QStringList>
#include <QTest>
#include <deque>
#include <functional>

// Prompts for tests: every box is recorded; confirmations and folder choices are answered
// from a script. A question nobody scripted fails the test, and so does an information or
// error box that the test never looked at (through texts(), errors() or informations()).
class ScriptedPrompts : public Prompts {
public:
    ScriptedPrompts() { Prompts::setInstance(this); }
    ~ScriptedPrompts() override {
        Prompts::setInstance(nullptr);
        QStringList unread;
        for (const Shown& s : shown) {
            if (!s.read && (s.kind == Kind::Information || s.kind == Kind::Error)) {
                unread << s.text;
            }
        }
        if (!QTest::currentTestFailed() && (unexpected || !unread.isEmpty())) {
            const QByteArray what =
                unexpected ? "a question or a chooser nobody scripted"
                           : "boxes the test never looked at: " + unread.join(" | ").toUtf8();
            QTest::qFail(what.constData(), __FILE__, __LINE__);
        }
    }

    enum class Kind { Information, Confirm, Error, ChooseFolder };
    struct Shown {
        Kind kind;
        QString text;
        bool read = false;
    };

    std::vector<Shown> shown;
    std::deque<bool> confirmAnswers;
    std::deque<QString> folderAnswers;  // a null QString cancels the chooser
    bool unexpected = false;
    // Runs while an information or error box stands open, before the user's OK.
    std::function<void(const QString& text)> whileOpen;

    void information(const QString& text) override { show(Kind::Information, text); }
    void error(const QString& text) override { show(Kind::Error, text); }
    bool confirm(const QString& text) override {
        shown.push_back({Kind::Confirm, text});
        if (confirmAnswers.empty()) {
            unexpected = true;
            return false;
        }
        const bool answer = confirmAnswers.front();
        confirmAnswers.pop_front();
        return answer;
    }
    std::optional<QString> chooseFolder(const QString& caption) override {
        shown.push_back({Kind::ChooseFolder, caption});
        if (folderAnswers.empty()) {
            unexpected = true;
            return std::nullopt;
        }
        const QString answer = folderAnswers.front();
        folderAnswers.pop_front();
        if (answer.isNull()) {
            return std::nullopt;
        }
        return answer;
    }

    QStringList texts(Kind kind) {
        QStringList result;
        for (Shown& s : shown) {
            if (s.kind == kind) {
                s.read = true;
                result << s.text;
            }
        }
        return result;
    }
    QStringList errors() { return texts(Kind::Error); }
    QStringList informations() { return texts(Kind::Information); }

private:
    void show(Kind kind, const QString& text) {
        shown.push_back({kind, text});
        if (whileOpen) {
            whileOpen(text);
        }
    }
};
