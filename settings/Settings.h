#pragma once

#include <QString>

class MainFormFields;

// Panel 0 of the status bar, set by every load.
inline const QString kCreditText = QStringLiteral("Tessivar 文件定时备份");

// FormShow's load: fills the controls from ./config.ini and writes the credit text.
// Throws Error at the first value that cannot be taken, and when ./config.ini is neither
// a file nor a folder (a FIFO, a device); what was loaded before stays, and the credit
// text is then not written.
void LoadSettings(MainFormFields& fields);

// Button6Click: checks the fields, then writes the five keys of ./config.ini. A failed
// write is reported in panel 1 only, and so is a value the file could not give back as it
// is (a path holding a line break, one longer than a read gives), before anything is
// written.
void SaveSettings(MainFormFields& fields);
