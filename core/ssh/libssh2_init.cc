#include "core/ssh/libssh2_init.h"

#include <libssh2.h>

#include <cstdlib>

namespace {
void CallLibssh2Exit() {
  libssh2_exit();
}
}  // namespace

bool InitLibssh2Once() {
  static const int result = [] {
    int rc = libssh2_init(0);
    if (rc == 0) {
      std::atexit(&CallLibssh2Exit);
    }
    return rc;
  }();
  return result == 0;
}
