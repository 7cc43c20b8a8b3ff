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
