// lumen's command line: its options, usage lines and version line.
#pragma once

#include "parse_param.h"

// The table parse_params reads lumen's command line with; the version line
// names FFmpeg in the build that reads through it.
const option_table& lumen_options();
