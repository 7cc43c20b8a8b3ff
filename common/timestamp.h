#pragma once

#include <QByteArray>
#include <QDateTime>

// The local clock, behind an interface so tests can fix the time.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;

    // The process-wide real clock.
    static const Clock& system();
};

// Year, month, day, hour, minute, second and millisecond in decimal without
// leading zeros, joined by "_": 2007_3_5_9_4_7_89.
QByteArray timeStamp(const QDateTime& time);

// ISO 8601 in local time with its offset from UTC, as other programs read
// it: 2007-03-05T09:04:07+01:00 (with milliseconds: 09:04:07.089+01:00).
QByteArray isoLocalTime(const QDateTime& time, bool milliseconds = false);
