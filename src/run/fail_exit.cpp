// The one way the run ends. Alone in its file so that a program linking the library can end
// runs its own way (the fuzz targets jump back into their loop) without this object.
#include <cstdio>
#include <cstdlib>

#include "run/errors.h"

void fail_exit(int code) {
  int result = cleanup_all(code);
  fflush(stdout);
  exit(result);
}
