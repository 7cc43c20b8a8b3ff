#pragma once

#include "dispatchengine.h"
#include "recordingview.h"
#include "settings.h"

#include <QByteArrayList>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The engine as the windows run it, on a temporary working directory with an
// outbox (out/) and a backup directory (bak/). A test class derives from it
// next to QObject: setUp() in init(), startEngine() once the gateway is up,
// tearDown() in cleanup().
class EngineFixture
{
public:
    std::unique_ptr<QTemporaryDir> tmp;
    QByteArray outDir;
    QByteArray bakDir;
    SettingsStore settings;
    RecordingView view;
    // What the window's fields would set; the engine takes them at
    // startEngine() and at configure().
    EngineOptions options;
    std::unique_ptr<DispatchEngine> engine;

    // A fresh directory and view; false if the directories could not be made.
    bool setUp();
    // Settings for a gateway on 127.0.0.1 at port, and an engine on them.
    void startEngine(const QByteArray& port, const QByteArray& key, const Clock& clock);
    // The options as they now stand, into the engine.
    void configure()
    {
        if (engine)
            engine->configure(options);
    }
    void tearDown();

    QByteArray outPath(const QByteArray& name) const { return outDir + name; }
    // A file in the outbox with the bytes given; false if it was not written.
    bool writeMessage(const QByteArray& name, const QByteArray& content) const;
    // The outbox's entries, files and directories, by name.
    QStringList outboxFiles() const;
};
