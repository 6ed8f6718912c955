// Translated texts: every user-visible text goes through the message
// catalogue of the text domain "Korvo".
#pragma once

#include <libintl.h>

inline constexpr const char* kTextDomain = "Korvo";
// The build passes the folder it installs the catalogues in.
inline constexpr const char* kLocaleDir = KORVO_LOCALE_DIR;

#define _(text) gettext(text)
