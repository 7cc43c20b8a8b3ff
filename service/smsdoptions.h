#pragma once

#include "inflight.h"

#include <QString>
#include <QStringList>

// What the service is told on its command line.
struct SmsdOptions
{
    static constexpr int MinimumPoll = 200;

    QString workdir; // empty: the current directory
    int pollMs = 1000;
    int logEvery = 0; // 0: no log files
    QString onResult; // the command told each message's fate; empty: none
    int maxUnanswered = InFlight::DefaultLimit; // message records that may wait for replies at once
    int answerTimeoutSeconds = int(InFlight::DefaultAnswerTimeout.count()); // how long a reply may take
    QString metricsFile {}; // the metrics file for node_exporter; empty: none
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
