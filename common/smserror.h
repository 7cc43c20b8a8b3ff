#pragma once

#include <QString>
#include <exception>

// The program's one error type. Its text is what the operator sees in the
// error box, so it carries the system's own wording.
class SmsError : public std::exception
{
public:
    explicit SmsError(QString text);

    const QString& text() const noexcept { return m_text; }
    const char* what() const noexcept override { return m_utf8.constData(); }

    // The standard texts, so every thrower words them alike.
    static SmsError invalidInteger(const QString& value);
    static SmsError cannotOpenFile(const QString& path);
    static SmsError cannotCreateFile(const QString& path);
    static SmsError listIndexOutOfBounds(int index);

private:
    QString m_text;
    QByteArray m_utf8;
};
