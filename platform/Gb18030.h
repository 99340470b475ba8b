#pragma once

#include <QByteArray>
#include <QString>

// config.ini and the log are GB18030 bytes: identical to GBK for every GBK character, so
// files written on Windows load unchanged, and able to carry any other character a Linux
// path may hold. As in code page 936, the euro sign is the byte 0x80, both ways.
QByteArray ToGb18030(const QString& text);

// Bytes that are not valid GB18030 become U+FFFD; use only where the text is shown or
// compared, never where the bytes are written back.
QString FromGb18030(const QByteArray& bytes);
