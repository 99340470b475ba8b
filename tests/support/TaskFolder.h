#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// A fresh, empty task folder made the current folder for the test's lifetime.
class TaskFolder {
public:
    TaskFolder() : previous_(QDir::currentPath()) {
        QVERIFY2(dir_.isValid(), "cannot make a scratch folder");
        QDir::setCurrent(dir_.path());
    }
    ~TaskFolder() { QDir::setCurrent(previous_); }
    TaskFolder(const TaskFolder&) = delete;
    TaskFolder& operator=(const TaskFolder&) = delete;

    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }

private:
    QString previous_;
    QTemporaryDir dir_;
};
