#include "core/wiredate.h"

#include <QRegularExpression>
#include <cfenv>
#include <cmath>
#include <cstdio>

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr qint64 kMsPerDay = 86400000;

// A wire date-time is a calendar value, not an instant: splitting and building it
// never asks the time zone, so a time in a daylight-saving gap stays what it says.
// Negative values keep the time of day as a positive fraction: -1.25 is 1899-12-29 06:00.
bool splitCalendar(TDateTime dt, QDate &date, QTime &time)
{
    if (!IsValidDateTime(dt))
        return false;
    const double whole = std::trunc(dt);
    const qint64 ms = qint64(std::llround(std::fabs(dt - whole) * kMsPerDay));
    date = kEpoch.addDays(qint64(whole));
    time = QTime::fromMSecsSinceStartOfDay(int(std::min(ms, kMsPerDay - 1)));
    return date.isValid();
}

TDateTime joinCalendar(const QDate &date, const QTime &time)
{
    const qint64 days = kEpoch.daysTo(date);
    const double frac = double(time.msecsSinceStartOfDay()) / double(kMsPerDay);
    return days >= 0 ? double(days) + frac : double(days) - frac;
}
} // namespace

bool IsValidDateTime(TDateTime dt)
{
    return std::isfinite(dt) && dt >= kMinDateTime && dt < kMaxDateTime;
}

QDateTime DateTimeToQDateTime(TDateTime dt)
{
    QDate date;
    QTime time;
    if (!splitCalendar(dt, date, time))
        return {};
    const QDateTime local(date, time);
    if (local.isValid())
        return local;
    // The clock jumped over this time here (spring forward): read it with the offset
    // in force before the jump, as the clock would have shown without it.
    const QDateTime asUtc(date, time, Qt::UTC);
    const int offsetBefore = asUtc.addSecs(-86400).toLocalTime().offsetFromUtc();
    return asUtc.addSecs(-offsetBefore).toLocalTime();
}

TDateTime QDateTimeToDateTime(const QDateTime &dt)
{
    if (!dt.isValid())
        return 0;
    const QDateTime local = dt.toLocalTime();
    return joinCalendar(local.date(), local.time());
}

TDateTime NowDateTime()
{
    return QDateTimeToDateTime(QDateTime::currentDateTime());
}

std::optional<TDateTime> ParseWireDateTime(const QString &text, QString *error)
{
    static const QRegularExpression re(
        QStringLiteral("^(\\d{4})-(\\d{1,2})-(\\d{1,2})(?: +(\\d{1,2}):(\\d{1,2})(?::(\\d{1,2}))?)?$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (m.hasMatch()) {
        const QDate d(m.capturedView(1).toInt(), m.capturedView(2).toInt(), m.capturedView(3).toInt());
        QTime t(0, 0, 0);
        if (m.hasCaptured(4))
            t = QTime(m.capturedView(4).toInt(), m.capturedView(5).toInt(),
                      m.hasCaptured(6) ? m.capturedView(6).toInt() : 0);
        if (d.isValid() && t.isValid() && d.year() >= 1)
            return joinCalendar(d, t);
    }
    if (error)
        *error = QLatin1String("Wrong date format") + text;
    return std::nullopt;
}

TDateTime ParseWireDateTimeDef(const QString &text, TDateTime def)
{
    return ParseWireDateTime(text).value_or(def);
}

QString FormatWireDateTime(TDateTime dt)
{
    QDate d;
    QTime t;
    if (!splitCalendar(dt, d, t))
        return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                  t.second());
    return QString::fromLatin1(buf);
}

qint64 DateTimeToTicks(TDateTime dt)
{
    if (!IsValidDateTime(dt))
        return 0;
    // nearbyint honours the current mode; ties-to-even is the default one.
    const int old = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(dt * 1e9);
    std::fesetround(old);
    return qint64(r);
}

TDateTime TicksToDateTime(qint64 ticks)
{
    return double(ticks) / 1e9;
}
