#include <signal.h>

#include "pelko.h"

int main(int argc, char** argv) {
  // A report whose reader has gone must end the run, not go on reading the
  // inputs: restore the default action even when the parent ignored SIGPIPE.
  signal(SIGPIPE, SIG_DFL);
  return pelko_main(argc, argv);
}
