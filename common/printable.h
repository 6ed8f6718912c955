// Text from outside (file names, device names) made safe to print: a name
// with an escape sequence in it must not retitle or recolour the terminal.
#pragma once

#include <string>
#include <string_view>

// The text with every control character shown as "\x1b" and the like: the
// C0 controls, DEL, and the C1 controls in their UTF-8 form (shown as the
// two bytes, "\xc2\x9b"). A byte that is not part of well-formed UTF-8 is
// shown the same way, so the result is valid UTF-8; well-formed UTF-8 is
// kept as it is.
std::string printable(std::string_view text);
