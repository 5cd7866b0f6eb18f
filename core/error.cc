#include "core/error.h"

#include <uv.h>

Error MakeUvError(int status) {
  return Error{Error::kNetwork, status, uv_strerror(status)};
}

Error MakeUserCloseError() {
  return Error{Error::kClosedByUser, 0, "Forced to close by user"};
}
