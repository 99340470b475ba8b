#pragma once

#include "platform/Prompts.h"

#include <QStringList>
#include <deque>

// Prompts for tests: every box is recorded; confirmations and folder choices are answered
// from a script, and a question nobody scripted fails the test.
class ScriptedPrompts : public Prompts {
public:
    ScriptedPrompts() { Prompts::setInstance(this); }
    ~ScriptedPrompts() override { Prompts::setInstance(nullptr); }

    enum class Kind { Information, Confirm, Error, ChooseFolder };
    struct Shown {
        Kind kind;
        QString text;
    };

    std::vector<Shown> shown;
    std::deque<bool> confirmAnswers;
    std::deque<QString> folderAnswers;  // a null QString cancels the chooser
    bool unexpected = false;

    void information(const QString& text) override { shown.push_back({Kind::Information, text}); }
    void error(const QString& text) override { shown.push_back({Kind::Error, text}); }
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

    QStringList texts(Kind kind) const {
        QStringList result;
        for (const Shown& s : shown) {
            if (s.kind == kind) {
                result << s.text;
            }
        }
        return result;
    }
    QStringList errors() const { return texts(Kind::Error); }
    QStringList informations() const { return texts(Kind::Information); }
};
