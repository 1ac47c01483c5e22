// The program's entry point: everything happens in program_main.
#include "startup/runmodes.h"

int main(int argc, char** argv) {
  return program_main(argc, argv);
}
