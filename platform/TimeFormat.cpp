#include "platform/TimeFormat.h"

#include <langinfo.h>

#include <QRegularExpression>

namespace {

TimeFormat& currentFormat() {
    static TimeFormat format = TimeFormat::fromLocale();
    return format;
}

QString twoDigits(int value) {
    return QString::number(value).rightJustified(2, u'0');
}

int hourDirectiveAt(const QString& pattern, qsizetype* position) {
    static const QRegularExpression hour(QStringLiteral("%[-_0^#]?([HkIl])"));
    const auto match = hour.match(pattern);
    if (!match.hasMatch()) {
        return 0;
    }
    *position = match.capturedStart();
    return match.captured(1).at(0).unicode();
}

bool flagDropsZero(const QString& pattern, qsizetype position) {
    const QChar flag = pattern.at(position + 1);
    return flag == u'-' || flag == u'_';
}

}  // namespace

QString TimeFormat::hourText(int hour) const {
    int shown = hour;
    if (twelveHour) {
        shown = hour % 12 == 0 ? 12 : hour % 12;
    }
    return leadingZero ? twoDigits(shown) : QString::number(shown);
}

QString TimeFormat::withDesignator(const QString& core, const QTime& time) const {
    if (!twelveHour) {
        return core;
    }
    const QString& designator = time.hour() < 12 ? am : pm;
    if (designator.isEmpty()) {
        return core;
    }
    return designatorAfter ? core + u' ' + designator : designator + u' ' + core;
}

QString TimeFormat::shortTime(const QTime& time) const {
    return withDesignator(hourText(time.hour()) + separator + twoDigits(time.minute()), time);
}

QString TimeFormat::longTime(const QTime& time) const {
    return withDesignator(hourText(time.hour()) + separator + twoDigits(time.minute()) + separator +
                              twoDigits(time.second()),
                          time);
}

std::optional<QTime> TimeFormat::parse(const QString& text) const {
    QString rest = text.trimmed();
    std::optional<bool> afternoon;
    const auto takeDesignator = [&](const QString& word, bool isPm) {
        if (word.isEmpty() || afternoon) {
            return;
        }
        if (rest.startsWith(word, Qt::CaseInsensitive)) {
            rest = rest.mid(word.size()).trimmed();
            afternoon = isPm;
        } else if (rest.endsWith(word, Qt::CaseInsensitive)) {
            rest.chop(word.size());
            rest = rest.trimmed();
            afternoon = isPm;
        }
    };
    takeDesignator(am, false);
    takeDesignator(pm, true);
    takeDesignator(QStringLiteral("AM"), false);
    takeDesignator(QStringLiteral("PM"), true);

    const QString separators = QRegularExpression::escape(QString(separator) + u':');
    static thread_local QRegularExpression shape;
    shape.setPattern(
        QStringLiteral("^(\\d{1,2})[%1](\\d{1,2})(?:[%1](\\d{1,2}))?$").arg(separators));
    const auto match = shape.match(rest);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    int hour = match.captured(1).toInt();
    const int minute = match.captured(2).toInt();
    const int second = match.captured(3).isEmpty() ? 0 : match.captured(3).toInt();
    if (afternoon) {
        if (hour < 1 || hour > 12) {
            return std::nullopt;
        }
        hour = hour % 12 + (*afternoon ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    return QTime(hour, minute, second);
}

TimeFormat TimeFormat::fromPattern(const QString& pattern, const QString& ampmPattern,
                                   const QString& am, const QString& pm) {
    QString effective = pattern;
    effective.replace(QStringLiteral("%T"), QStringLiteral("%H:%M:%S"));
    effective.replace(QStringLiteral("%R"), QStringLiteral("%H:%M"));
    if (effective.contains(QStringLiteral("%r"))) {
        effective = ampmPattern.isEmpty() ? QStringLiteral("%I:%M:%S %p") : ampmPattern;
    }

    TimeFormat format;
    format.am = am;
    format.pm = pm;
    qsizetype hourAt = 0;
    const int directive = hourDirectiveAt(effective, &hourAt);
    if (directive == 0) {
        return format;
    }
    format.twelveHour = directive == 'I' || directive == 'l';
    format.leadingZero =
        (directive == 'H' || directive == 'I') && !flagDropsZero(effective, hourAt);

    const qsizetype designatorAt =
        std::max(effective.indexOf(QStringLiteral("%p")), effective.indexOf(QStringLiteral("%P")));
    format.designatorAfter = designatorAt < 0 || designatorAt > hourAt;

    // Only one character between hour, minute and second counts as a separator; other
    // shapes (zh_CN's "%H时%M分%S秒") keep ":".
    static const QRegularExpression shape(
        QStringLiteral("%[-_0^#]?[HkIl](.)%[-_0^#]?M(?:(.)%[-_0^#]?S)?"));
    const auto match = shape.match(effective);
    if (match.hasMatch()) {
        const QString between = match.captured(1);
        const QString second = match.captured(2);
        const QChar candidate = between.at(0);
        if ((second.isEmpty() || second == between) && !candidate.isLetterOrNumber() &&
            candidate.unicode() < 0x80) {
            format.separator = candidate;
        }
    }
    return format;
}

TimeFormat TimeFormat::fromLocale() {
    const auto text = [](nl_item item) { return QString::fromLocal8Bit(nl_langinfo(item)); };
    return fromPattern(text(T_FMT), text(T_FMT_AMPM), text(AM_STR), text(PM_STR));
}

const TimeFormat& TimeFormat::current() {
    return currentFormat();
}

void TimeFormat::setCurrent(const TimeFormat& format) {
    currentFormat() = format;
}
