#include "logfield.h"

QByteArray escapeLogField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (const char c : field) {
        switch (c) {
        case '\t':
            out.append("\\t");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\0':
            out.append("\\0");
            break;
        default:
            out.append(c);
            break;
        }
    }
    return out;
}

QByteArray unescapeLogField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c != '\\' || i + 1 == field.size()) {
            out.append(c);
            continue;
        }
        switch (field.at(i + 1)) {
        case 't':
            out.append('\t');
            break;
        case 'r':
            out.append('\r');
            break;
        case 'n':
            out.append('\n');
            break;
        case '\\':
            out.append('\\');
            break;
        case '0':
            out.append('\0');
            break;
        default:
            out.append(c);
            continue;
        }
        ++i;
    }
    return out;
}
