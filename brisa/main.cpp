#include "playmain.h"

int main(int argc, char** argv) { return brisa_main(argc, argv); }
