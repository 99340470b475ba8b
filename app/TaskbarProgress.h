#pragma once

#include <QString>

// The progress bar on the program's taskbar entry (Ubuntu's dock, Dash to Dock, KDE
// Plasma's task manager): the com.canonical.Unity.LauncherEntry Update signal on the
// session bus, for the desktop file that started the program when the desktop says which
// (GIO_LAUNCHED_DESKTOP_FILE), else tessivar.desktop. Without a session bus it does nothing.
class TaskbarProgress {
public:
    TaskbarProgress();

    // fraction: 0 to 1.
    void show(double fraction);
    void hide();

private:
    void send(double fraction, bool visible);

    QString uri_;  // "application://<desktop file>": the entry the signal names
    QString objectPath_;
};
