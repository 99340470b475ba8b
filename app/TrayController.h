#pragma once

#include <QList>
#include <QPointer>
#include <QString>

#include <functional>

class QSystemTrayIcon;
class QWidget;
class TLogShowForm;

// The main window's place in the notification area. Minimised, the window and its open log
// viewers hide behind a tray icon, when the desktop has a tray; a left click on the icon
// brings them back.
class TrayController {
public:
    explicit TrayController(QWidget& window);
    ~TrayController();  // an icon still shown goes with the program
    TrayController(const TrayController&) = delete;
    TrayController& operator=(const TrayController&) = delete;

    void Minimise(const QList<QPointer<TLogShowForm>>& viewers);
    void Restore();
    // The icon goes without bringing anything back: the program is ending.
    void Remove();

    // The icon's tip, now and whenever the icon shows.
    void SetTip(const QString& tip);

    QSystemTrayIcon* TrayIcon1 = nullptr;  // exists only while the window is in the tray
    std::function<bool()> Available;

private:
    QWidget& window_;
    QList<QPointer<TLogShowForm>> viewersHidden_;
    QString tip_;
};
