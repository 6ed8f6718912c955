#include "lumen.h"

int main(int argc, char** argv) { return lumen_main(argc, argv); }
