// brisa's command line: its options, usage lines and version line.
#pragma once

#include "parse_param.h"

// The table parse_params reads brisa's command line with. -L, --dop and
// --volume= act on the modulators and the stream at once.
const option_table& brisa_options();
