#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// marlek-sms-http's command line.
struct HttpOptions
{
    bool help = false;
    bool version = false;
    QByteArray outbox; // empty: the one the first working directory's settings name
    QList<QByteArray> workdirs; // empty: the current folder
    QByteArray listen = "127.0.0.1:8466";
    QByteArray tokens;
    qint64 maxQueued = 10000;
    int maxConnections = 256;

    // The options after the program's name; the reason in *error when they
    // are wrong.
    static HttpOptions parse(const QStringList& arguments, QString* error);
    static const char* usage();
};
