#pragma once

#include <QString>

// The gateway's single-byte code page (Latin-1): what a message may hold.
// The refusal for the first character it cannot carry, naming it as
// "The gateway cannot carry the character "€" (U+20AC)"; empty when every
// character fits.
QString uncarriedCharacter(const QString& text);
