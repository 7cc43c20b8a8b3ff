#pragma once

#include "smserror.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

// The text of the SmsError the call throws, or "<no error>".
template <typename F> QString errorOf(F&& call)
{
    try {
        call();
    } catch (const SmsError& e) {
        return e.text();
    }
    return QStringLiteral("<no error>");
}

// A file's bytes as they are on disk.
inline QByteArray readRaw(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Writes a /bin/sh script that the tests can run as a command.
inline bool writeScript(const QString& path, const QByteArray& body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write("#!/bin/sh\n" + body) < 0)
        return false;
    f.close();
    return f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The substitute gateway's record log, each line cut at its tabs with the
// time left off: connection, command, user, password, key, destination,
// sender, text, result, size.
inline QList<QByteArrayList> recordLogLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArrayList> lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines.append(line.split('\t').mid(1));
    }
    return lines;
}

// Host names whose look-up fails, and how long to wait for the failure: the
// resolver may take its own timeouts on a machine without a network.
inline void addUnresolvableHostRows(const char* column)
{
    QTest::addColumn<QByteArray>(column);
    QTest::addColumn<int>("waitMs");
    QTest::newRow("unknown name") << QByteArray("nonexistent.invalid") << 120000;
    QTest::newRow("empty") << QByteArray() << 5000;
}

// Gateway ports the settings may hold that are no port, with the error.
inline void addBadPortRows()
{
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QString>("error");
    QTest::newRow("not a number") << QByteArray("x") << QStringLiteral("'x' is not a valid integer value");
    QTest::newRow("too large") << QByteArray("70000") << QStringLiteral("'70000' is not a valid port number");
    QTest::newRow("wraps to a low port") << QByteArray("65537") << QStringLiteral("'65537' is not a valid port number");
    QTest::newRow("negative") << QByteArray("-1") << QStringLiteral("'-1' is not a valid port number");
}

// A working folder for the service run as a child process, fresh for each
// test function (call make() from init()): settings, outbox out/ and backup
// folder bak/. Test classes take it as a second base.
class ServiceFolder
{
protected:
    void make()
    {
        QVERIFY(m_tmp.isValid());
        workdir = m_tmp.filePath(QString::number(++m_made));
        outDir = QFile::encodeName(workdir) + "/out/";
        bakDir = QFile::encodeName(workdir) + "/bak/";
        QVERIFY(QDir().mkpath(QFile::decodeName(outDir)));
        QVERIFY(QDir().mkpath(QFile::decodeName(bakDir)));
    }

    // Settings for a gateway on 127.0.0.1 at port.
    void writeSettings(const QByteArray& port)
    {
        QFile f(workdir + QLatin1String("/SMS_Key_Client.inf"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.write(outDir + "\r\n" + bakDir + "\r\n127.0.0.1\r\n" + port
                    + "\r\nuser\r\nsecret\r\nABCDEFGHIJKLMNOP\r\n")
            > 0);
    }

    // The service's arguments for this folder at the shortest poll.
    QStringList serviceArguments(const QStringList& extra = {}) const
    {
        return QStringList { QStringLiteral("--workdir"), workdir, QStringLiteral("--poll"), QStringLiteral("200") }
        + extra;
    }

    int backups() const { return int(QDir(QFile::decodeName(bakDir)).entryList(QDir::Files).size()); }

    QString workdir;
    QByteArray outDir; // with a trailing "/"
    QByteArray bakDir;

private:
    QTemporaryDir m_tmp;
    int m_made = 0;
};
