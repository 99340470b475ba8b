#pragma once

#include <QString>

// One profile ("INI") file on the disk, named relative to the current folder at the
// moment of each access. Text is GB18030 bytes, lines end with CR LF, there are no
// blanks around "=". Each call reads or writes the file afresh.
class ProfileFile {
public:
    explicit ProfileFile(QString path) : path_(std::move(path)) {}

    const QString& path() const { return path_; }

    // Whether there is a file to read: false when nothing, or a folder, holds the name.
    // Throws Error when the name is something else that is not a regular file (a FIFO, a
    // device, a link to one), which a read could wait on for ever or never finish.
    bool IsThere() const;

    // The key's value as the Windows profile reader gives it (ProfileText::Lookup); the
    // empty text when the file, the section or the key is missing, or the file cannot be
    // read.
    QString ReadString(const QString& section, const QString& key) const;

    // Sets one key, creating the file and the section when they are missing; every other
    // line keeps its bytes, and so does the key's own line when it already reads as the
    // value (bytes that decode to nothing included). The file is replaced in one step, so
    // a failed write leaves it as it was. Throws Error on failure, and for a value that
    // Writable() refuses.
    void WriteString(const QString& section, const QString& key, const QString& value);

    // Whether a value can be written so that it reads back the same: no line break (it
    // would start lines of its own) and no more bytes than a read gives.
    static bool Writable(const QString& value);

private:
    QString path_;
};
