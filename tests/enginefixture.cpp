#include "enginefixture.h"

#include <QDir>
#include <QFile>

bool EngineFixture::setUp()
{
    tmp = std::make_unique<QTemporaryDir>();
    outDir = QFile::encodeName(tmp->path()) + "/out/";
    bakDir = QFile::encodeName(tmp->path()) + "/bak/";
    view.unwatch();
    view = RecordingView();
    options = EngineOptions();
    return tmp->isValid() && QDir().mkpath(QFile::decodeName(outDir)) && QDir().mkpath(QFile::decodeName(bakDir));
}

void EngineFixture::startEngine(const QByteArray& port, const QByteArray& key, const Clock& clock)
{
    settings.replace({ outDir, bakDir, "127.0.0.1", port, "user", "secret", key });
    view.unwatch();
    engine = std::make_unique<DispatchEngine>(settings, view, clock);
    engine->configure(options);
    view.watch(*engine);
}

void EngineFixture::tearDown()
{
    view.unwatch();
    engine.reset();
    tmp.reset();
}

bool EngineFixture::writeMessage(const QByteArray& name, const QByteArray& content) const
{
    QFile f(QFile::decodeName(outPath(name)));
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QStringList EngineFixture::outboxFiles() const
{
    return QDir(QFile::decodeName(outDir)).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}
