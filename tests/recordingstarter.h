#pragma once

#include "GoToWeb.h"

#include <QList>
#include <QString>

// What the web launcher was asked to start or open, instead of doing it.
struct Start
{
    QString program;
    QString parameters;
    int show;
};

class RecordingStarter : public BrowserStarter
{
public:
    QList<Start> starts;
    QList<Start> opens;
    bool result = true;

    bool startProgram(const QString& program, const QString& parameters, int showCommand) override
    {
        starts.append({ program, parameters, showCommand });
        return result;
    }
    bool openAddress(const QString& url, int showCommand) override
    {
        opens.append({ url, QString(), showCommand });
        return result;
    }
};
