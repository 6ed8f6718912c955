// brisa: plays every PCM file as a one-bit delta-sigma stream (native DSD or
// DoP) and re-modulates DSD files to its output rate.
#pragma once

// The whole program: start-up, playback of the list, exit status.
int brisa_main(int argc, char** argv);
