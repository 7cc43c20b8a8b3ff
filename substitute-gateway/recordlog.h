#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The gateway's record log: one line per request, flushed as it is written
// so that a test or an operator can read it while the gateway runs.
class RecordLog
{
public:
    // Opens the file for appending; false (with the reason) if it cannot be.
    bool open(const QString& path, QString* error);
    bool isOpen() const { return m_file.isOpen(); }

    // Writes the request's line; the request is 396 or 236 bytes.
    void write(int connection, const QByteArray& request, char result);

    // The line write() puts down, without its time and line end.
    static QByteArray fields(int connection, const QByteArray& request, char result);

private:
    QFile m_file;
};
