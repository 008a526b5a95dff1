// zephlorn: stress-tests and times the tape RAID groups of the tape engine.
#include "frame/driver.h"

int main(int argc, char** argv) {
  prepareProcess();
  return runDriver(argc, argv);
}
