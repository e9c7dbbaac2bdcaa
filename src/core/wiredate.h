#pragma once
// Date-times are days since 1899-12-30 with the time of day as the fraction,
// the form the server and the stored files use.
#include <QDateTime>
#include <QString>
#include <optional>

using TDateTime = double;

constexpr TDateTime kMinDateTime = -693593.0;  // 0001-01-01
constexpr TDateTime kMaxDateTime = 2958466.0;  // 10000-01-01, exclusive

bool IsValidDateTime(TDateTime dt);
// The calendar value read as local time, for file times; a time the clock skipped
// (spring forward) reads with the offset before the jump. Invalid when out of range.
QDateTime DateTimeToQDateTime(TDateTime dt);
TDateTime QDateTimeToDateTime(const QDateTime &dt);
TDateTime NowDateTime();

// nullopt on failure; *error then holds "Wrong date format" followed by the text.
std::optional<TDateTime> ParseWireDateTime(const QString &text, QString *error = nullptr);
std::optional<TDateTime> ParseWireDateTime(QStringView text, QString *error = nullptr);
TDateTime ParseWireDateTimeDef(const QString &text, TDateTime def);
TDateTime ParseWireDateTimeDef(QStringView text, TDateTime def);
QString FormatWireDateTime(TDateTime dt);

// Ticks are the date-time times 10^9, rounded half to even. A NaN or out-of-range
// value gives 0 rather than an overflowed integer.
qint64 DateTimeToTicks(TDateTime dt);
TDateTime TicksToDateTime(qint64 ticks);
