#include "core/wiredate.h"

#include <QRegularExpression>
#include <cfenv>
#include <cmath>

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr qint64 kMsPerDay = 86400000;
} // namespace

bool IsValidDateTime(TDateTime dt)
{
    return std::isfinite(dt) && dt >= kMinDateTime && dt < kMaxDateTime;
}

QDateTime DateTimeToQDateTime(TDateTime dt)
{
    if (!IsValidDateTime(dt))
        return {};
    // Negative values keep the time of day as a positive fraction: -1.25 is 1899-12-29 06:00.
    const double whole = std::trunc(dt);
    const qint64 ms = qint64(std::llround(std::fabs(dt - whole) * kMsPerDay));
    QDate date = kEpoch.addDays(qint64(whole));
    const qint64 dayMs = std::min(ms, kMsPerDay - 1);
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(int(dayMs)));
}

TDateTime QDateTimeToDateTime(const QDateTime &dt)
{
    if (!dt.isValid())
        return 0;
    const QDateTime local = dt.toLocalTime();
    const qint64 days = kEpoch.daysTo(local.date());
    const double frac = double(local.time().msecsSinceStartOfDay()) / double(kMsPerDay);
    return days >= 0 ? double(days) + frac : double(days) - frac;
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
        const QDate d(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        QTime t(0, 0, 0);
        if (m.hasCaptured(4))
            t = QTime(m.captured(4).toInt(), m.captured(5).toInt(), m.hasCaptured(6) ? m.captured(6).toInt() : 0);
        if (d.isValid() && t.isValid() && d.year() >= 1)
            return QDateTimeToDateTime(QDateTime(d, t));
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
    const QDateTime q = DateTimeToQDateTime(dt);
    if (!q.isValid())
        return {};
    return q.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
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
