#include "codepage.h"

#include <QList>

QString uncarriedCharacter(const QString& text)
{
    for (const char32_t c : text.toUcs4()) {
        if (c > 0xff)
            return QStringLiteral("The gateway cannot carry the character \"%1\" (U+%2)")
                .arg(QString::fromUcs4(&c, 1), QString::number(uint(c), 16).toUpper().rightJustified(4, u'0'));
    }
    return {};
}
