#include "app/TrayController.h"

#include "log/LogShowUnit.h"

#include <QSystemTrayIcon>
#include <QWidget>

TrayController::TrayController(QWidget& window)
    : Available([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      window_(window),
      tip_(QStringLiteral("Tessivar")) {}

TrayController::~TrayController() {
    delete TrayIcon1;
}

void TrayController::Minimise(const QList<QPointer<TLogShowForm>>& viewers) {
    viewersHidden_.clear();
    for (const QPointer<TLogShowForm>& viewer : viewers) {
        if (viewer && viewer->isVisible()) {
            viewersHidden_ << viewer;
            viewer->hide();
        }
    }
    window_.hide();
    delete TrayIcon1;
    TrayIcon1 = new QSystemTrayIcon(window_.windowIcon(), &window_);
    TrayIcon1->setToolTip(tip_);
    QObject::connect(TrayIcon1, &QSystemTrayIcon::activated, &window_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             Restore();
                         }
                     });
    TrayIcon1->show();
}

void TrayController::Restore() {
    if (!TrayIcon1) {
        return;
    }
    window_.setWindowState(window_.windowState() & ~Qt::WindowMinimized);
    window_.show();
    for (const QPointer<TLogShowForm>& viewer : std::as_const(viewersHidden_)) {
        if (viewer) {
            viewer->show();
        }
    }
    viewersHidden_.clear();
    window_.raise();
    window_.activateWindow();
    TrayIcon1->hide();
    TrayIcon1->deleteLater();
    TrayIcon1 = nullptr;
}

void TrayController::Remove() {
    delete TrayIcon1;
    TrayIcon1 = nullptr;
}

void TrayController::SetTip(const QString& tip) {
    tip_ = tip;
    if (TrayIcon1) {
        TrayIcon1->setToolTip(tip);
    }
}
