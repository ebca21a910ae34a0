#include "pelko.h"

int main(int argc, char** argv) { return pelko_main(argc, argv); }
