#include "app/TaskbarProgress.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

TaskbarProgress::TaskbarProgress() {
    const QString launched = qEnvironmentVariable("GIO_LAUNCHED_DESKTOP_FILE");
    const QString desktopFile =
        launched.isEmpty() ? QStringLiteral("tessivar.desktop") : QFileInfo(launched).fileName();
    uri_ = QStringLiteral("application://") + desktopFile;
    objectPath_ = QStringLiteral("/com/canonical/unity/launcherentry/") +
                  QString::fromLatin1(
                      QCryptographicHash::hash(uri_.toUtf8(), QCryptographicHash::Md5).toHex());
}

void TaskbarProgress::show(double fraction) {
    send(fraction, true);
}

void TaskbarProgress::hide() {
    send(0, false);
}

void TaskbarProgress::send(double fraction, bool visible) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage update = QDBusMessage::createSignal(
        objectPath_, QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), fraction},
                                 {QStringLiteral("progress-visible"), visible}};
    update << uri_ << properties;
    bus.send(update);
}
