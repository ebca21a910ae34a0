#include "pelko.h"

int main(int argc, char** argv) {
  os_main_args(&argc, &argv);
  return pelko_main(argc, argv);
}
