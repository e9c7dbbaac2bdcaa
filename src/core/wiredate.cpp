#include "core/wiredate.h"

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

namespace {
// ASCII digits only; at least minDigits and at most maxDigits of them.
bool readNumber(QStringView t, qsizetype &i, int minDigits, int maxDigits, int &out)
{
    out = 0;
    int n = 0;
    while (i < t.size() && n < maxDigits && t[i] >= u'0' && t[i] <= u'9') {
        out = out * 10 + (t[i].unicode() - u'0');
        ++i;
        ++n;
    }
    return n >= minDigits;
}

// "yyyy-m-d", optionally followed by blanks and "h:m" or "h:m:s" (one or two digits
// each); a hand-written reader, as replies carry one date per row.
std::optional<TDateTime> parseWire(QStringView text)
{
    const QStringView t = text.trimmed();
    qsizetype i = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!readNumber(t, i, 4, 4, y) || i >= t.size() || t[i++] != u'-' || !readNumber(t, i, 1, 2, mo)
        || i >= t.size() || t[i++] != u'-' || !readNumber(t, i, 1, 2, d))
        return std::nullopt;
    if (i < t.size()) {
        if (t[i] != u' ')
            return std::nullopt;
        while (i < t.size() && t[i] == u' ')
            ++i;
        if (!readNumber(t, i, 1, 2, h) || i >= t.size() || t[i++] != u':' || !readNumber(t, i, 1, 2, mi))
            return std::nullopt;
        if (i < t.size() && (t[i++] != u':' || !readNumber(t, i, 1, 2, sec)))
            return std::nullopt;
        if (i != t.size())
            return std::nullopt;
    }
    const QDate date(y, mo, d);
    const QTime time(h, mi, sec);
    if (!date.isValid() || !time.isValid() || y < 1)
        return std::nullopt;
    return joinCalendar(date, time);
}
} // namespace

std::optional<TDateTime> ParseWireDateTime(QStringView text, QString *error)
{
    const std::optional<TDateTime> v = parseWire(text);
    if (!v && error)
        *error = QLatin1String("Wrong date format") + text.toString();
    return v;
}

std::optional<TDateTime> ParseWireDateTime(const QString &text, QString *error)
{
    return ParseWireDateTime(QStringView(text), error);
}

TDateTime ParseWireDateTimeDef(QStringView text, TDateTime def)
{
    return parseWire(text).value_or(def);
}

TDateTime ParseWireDateTimeDef(const QString &text, TDateTime def)
{
    return parseWire(text).value_or(def);
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
