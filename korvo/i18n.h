// Translated texts: every user-visible text goes through the message
// catalogue of the text domain "Korvo".
#pragma once

#include <libintl.h>

inline constexpr const char* kTextDomain = "Korvo";
inline constexpr const char* kLocaleDir = "/usr/share/locale";

#define _(text) gettext(text)
