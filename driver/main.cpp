#include "driver/run.h"

// Arguments are ignored: vexlo.cfg in the current directory sets everything.
int main() {
  vexlo::Run state;
  return vexlo::run(state);
}
