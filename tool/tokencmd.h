#pragma once

#include <QStringList>

#include <cstdio>

namespace SmsTool {

// marlek-sms token add NAME [--tokens FILE]: a new token for the HTTP
// front, its hash appended to the tokens file, the token printed once.
// arguments are those after "token".
int tokenCommand(const QStringList& arguments, std::FILE* out, std::FILE* err);

} // namespace SmsTool
