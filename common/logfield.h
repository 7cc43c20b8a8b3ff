#pragma once

#include <QByteArray>

// One field of a tab-separated line (the substitute gateway's record log,
// the sender's ledger of fates): tab, CR, LF, backslash and NUL become \t,
// \r, \n, \\ and \0; every other byte passes as it is.
QByteArray escapeLogField(const QByteArray& field);
// The field's bytes back; a backslash before any other byte stays as it is.
QByteArray unescapeLogField(const QByteArray& field);
