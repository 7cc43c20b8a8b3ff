#pragma once

#include <QByteArray>
#include <QList>
#include <array>

// The seven values the program needs about its installation and account.
struct Settings
{
    QByteArray outboxDir;
    QByteArray backupDir;
    QByteArray serverAddress;
    QByteArray serverPort; // as typed; read as an integer where used
    QByteArray userName;
    QByteArray password;
    QByteArray userKey; // four groups of four characters, concatenated

    bool operator==(const Settings&) const = default;
};

// The program-wide store: empty until loaded, replaced whole by each save.
class SettingsStore
{
public:
    static constexpr const char* FileName = "SMS_Key_Client.inf";

    const Settings& values() const { return m_values; }
    void replace(const Settings& values) { m_values = values; }

    // Reads the settings file of the working directory (or the given path).
    // Returns false, leaving the store empty, when there is no file. A file of
    // fewer than seven lines keeps what it had and throws
    // "List index out of bounds (%d)".
    bool load(const QByteArray& path = FileName);

    // Creates the two directories with their parents, writes the file, then
    // puts the values into the store. Throws "Unable to create directory" for
    // an empty directory value and "Cannot create file %s" when the file
    // cannot be written; the store is then unchanged.
    void save(const Settings& values, const QByteArray& path = FileName);

private:
    Settings m_values;
};

// The file's seven lines in order.
QList<QByteArray> settingsLines(const Settings& values);

// Fills the settings from the file's lines, up to the first missing one.
void applySettingsLines(Settings& values, const QList<QByteArray>& lines);

// Characters 1-4, 5-8, 9-12 and 13-16 of the stored key.
std::array<QByteArray, 4> splitUserKey(const QByteArray& key);

// Creates a directory and every missing parent. An empty name throws
// "Unable to create directory"; a directory that cannot be made is passed
// over.
void forceDirectories(const QByteArray& dir);
