// The record in which every failure travels from libuv, libssh2 or libtelnet up to script.
#ifndef QUELBAR_CORE_ERROR_H_
#define QUELBAR_CORE_ERROR_H_

#include <cstdint>
#include <string>

struct Error {
  enum Type : int32_t {
    kNone = 0,
    kNetwork = 1,   // code is a libuv status
    kProtocol = 2,  // code is a libssh2 error code or a libtelnet error code
    kClosedByUser = 3,
  };

  int32_t type = kNone;
  int32_t code = 0;
  std::string message;

  bool IsSet() const { return type != kNone; }
};

// {kNetwork, status, uv_strerror(status)}.
Error MakeUvError(int status);

// {kClosedByUser, 0, "Forced to close by user"}.
Error MakeUserCloseError();

#endif  // QUELBAR_CORE_ERROR_H_
