#pragma once

#include "engineoptions.h"

#include <QString>
#include <QStringList>

// What the service is told on its command line.
struct SmsdOptions
{
    QString workdir; // empty: the current directory
    EngineOptions engine;
};

struct ParsedSmsdOptions
{
    enum Outcome { Run, Help, Version, Error };
    Outcome outcome = Run;
    SmsdOptions options;
    QString message; // help or version text, or what was wrong
};

// Reads the arguments (the program name first, as QCoreApplication gives
// them). Never exits: the caller prints and ends.
ParsedSmsdOptions parseSmsdOptions(const QStringList& arguments);
