#include "settings/Settings.h"

#include "platform/MainFormFields.h"

void LoadSettings(MainFormFields& fields) {
    fields.SetEdit1Text({});
    fields.SetEdit2Text({});
    fields.SetPanelText(0, QStringLiteral("Tessivar 文件定时备份"));
}

void SaveSettings(MainFormFields&) {}
