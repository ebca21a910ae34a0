// Run parameters, command line and the run driver.
#include "pelko.h"

#include <stdlib.h>

#include "printer.h"

// Placeholder until the command line lands.
void parse_opts(pelko_params_t*, int, char**) {}

int pelko_main(int, char**) { return 0; }
