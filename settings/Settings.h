#pragma once

class MainFormFields;

// FormShow's load: fills the controls from ./config.ini and writes the credit text.
// Throws Error at the first value that cannot be taken; what was loaded before stays.
void LoadSettings(MainFormFields& fields);

// Button6Click: checks the fields, then writes the five keys of ./config.ini.
void SaveSettings(MainFormFields& fields);
