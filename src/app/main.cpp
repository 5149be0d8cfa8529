#include "app/run.h"

int main(int argc, char** argv) {
  return tunewright::runProgram(argc, argv);
}
