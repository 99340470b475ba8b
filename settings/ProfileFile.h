#pragma once

#include <QString>

// One profile ("INI") file on the disk, named relative to the current folder at the
// moment of each access. Text is GB18030 bytes, lines end with CR LF, there are no
// blanks around "=" and no quoting. Each call reads or writes the file afresh.
class ProfileFile {
public:
    explicit ProfileFile(QString path) : path_(std::move(path)) {}

    const QString& path() const { return path_; }

    // The key's value, read whole; the empty text when the file, the section or the key
    // is missing, or the file cannot be read.
    QString ReadString(const QString& section, const QString& key) const;

    // Sets one key, creating the file and the section when they are missing; every other
    // line keeps its bytes. The file is replaced in one step, so a failed write leaves it
    // as it was. Throws Error on failure, and for a value that holds a line break, which
    // would add lines of its own to the file.
    void WriteString(const QString& section, const QString& key, const QString& value);

private:
    QString path_;
};

// True when the text holds a carriage return or a line feed.
bool HoldsLineBreak(const QString& text);
