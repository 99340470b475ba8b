#pragma once

#include <QString>
#include <QTime>
#include <optional>

// The regional time formats: the short one is the hour ("h", or "hh" with a leading zero)
// and ":mm"; the long one adds ":ss". Under a 12-hour clock the AM/PM designator stands
// before the time (then a blank) or after it (after a blank). Every ":" is the regional
// separator. Read once from LC_TIME at start-up; tests install their own.
struct TimeFormat {
    bool twelveHour = false;
    bool leadingZero = false;
    bool designatorAfter = true;
    QChar separator = u':';
    QString am = QStringLiteral("AM");
    QString pm = QStringLiteral("PM");

    QString shortTime(const QTime& time) const;
    QString longTime(const QTime& time) const;

    // Hours, minutes and optional seconds, split by the regional separator or ":", with an
    // optional AM/PM designator before or after. Anything else is not a time.
    std::optional<QTime> parse(const QString& text) const;

    // Built from nl_langinfo(T_FMT) and friends of the C library's current LC_TIME.
    static TimeFormat fromLocale();
    // Built from a T_FMT-like pattern ("%H:%M:%S", "%r", "%I:%M:%S %p", ...).
    static TimeFormat fromPattern(const QString& pattern, const QString& ampmPattern,
                                  const QString& am, const QString& pm);

    static const TimeFormat& current();
    static void setCurrent(const TimeFormat& format);

private:
    QString withDesignator(const QString& core, const QTime& time) const;
    QString hourText(int hour) const;
};
