#pragma once

#include <QByteArray>

// Directory settings are prefixes the operator typed, normally ending with a
// separator. A missing separator is supplied so a file never lands beside
// the directory instead of inside it; an empty directory means the working
// directory.
QByteArray joinDir(const QByteArray& dir, const QByteArray& name);
