// lumen: sends PCM unchanged (or oversampled) and DSD as DoP or native DSD,
// in one stream set up from the first file.
#pragma once

// The whole program: start-up, playback of the list, exit status.
int lumen_main(int argc, char** argv);
