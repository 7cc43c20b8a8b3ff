#include "paths.h"

QByteArray joinDir(const QByteArray& dir, const QByteArray& name)
{
    if (dir.isEmpty() || dir.endsWith('/'))
        return dir + name;
    return dir + '/' + name;
}
