#pragma once

#include <QString>
#include <optional>
#include <vector>

// Everything the program asks of or tells the user goes through here. The window build
// installs the message-box implementation; tests install a scripted one that fails on any
// prompt it was not told to expect.
class Prompts {
public:
    virtual ~Prompts();

    // Information box: title "Tessivar", no icon, one "OK" button.
    virtual void information(const QString& text) = 0;
    // Confirmation box: title "Confirm", question icon, "&Yes" (Enter) and "&No" (Esc).
    // True only when the user answered Yes.
    virtual bool confirm(const QString& text) = 0;
    // The application's error box: title "Tessivar", error icon, the text as given.
    virtual void error(const QString& text) = 0;
    // A modal folder chooser with the caption as its instruction; nothing on cancel.
    virtual std::optional<QString> chooseFolder(const QString& caption) = 0;

    static Prompts& instance();
    // Not owned. nullptr puts back the default, which answers No and chooses nothing.
    static void setInstance(Prompts* prompts);
};

// The error's own text, with a full stop added when its last character's code is above
// that of "." (so after a letter, a digit or a Chinese character, not after "." or ")").
QString WithFullStop(const QString& text);

// Shows the text in the application's error box, full-stop rule applied.
void ShowApplicationError(const QString& text);

// An information box or an application's error box that was held back, with the text it
// shows (an error's full stop already added).
struct HeldBox {
    enum class Kind { Information, Error };
    Kind kind;
    QString text;
};

// Shows held boxes, in order, through the prompts in place.
void ShowBoxes(const std::vector<HeldBox>& boxes);
