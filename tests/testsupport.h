#pragma once

#include "smserror.h"

#include <QByteArray>
#include <QFile>
#include <QString>

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
