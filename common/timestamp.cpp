#include "timestamp.h"

namespace {
class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};
} // namespace

const Clock& Clock::system()
{
    static const SystemClock clock;
    return clock;
}

QByteArray timeStamp(const QDateTime& time)
{
    const QDate d = time.date();
    const QTime t = time.time();
    QByteArray s;
    s.reserve(24);
    s.append(QByteArray::number(d.year())).append('_');
    s.append(QByteArray::number(d.month())).append('_');
    s.append(QByteArray::number(d.day())).append('_');
    s.append(QByteArray::number(t.hour())).append('_');
    s.append(QByteArray::number(t.minute())).append('_');
    s.append(QByteArray::number(t.second())).append('_');
    s.append(QByteArray::number(t.msec()));
    return s;
}

QByteArray isoLocalTime(const QDateTime& time, bool milliseconds)
{
    const QDateTime local = time.toLocalTime();
    QByteArray s = local.toString(milliseconds ? u"yyyy-MM-ddTHH:mm:ss.zzz" : u"yyyy-MM-ddTHH:mm:ss").toLatin1();
    // Qt writes "Z" or nothing for some offsets; always the offset here.
    const int offset = local.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    s.append(offset < 0 ? '-' : '+');
    s.append(QByteArray::number(minutes / 60).rightJustified(2, '0'));
    s.append(':');
    s.append(QByteArray::number(minutes % 60).rightJustified(2, '0'));
    return s;
}
