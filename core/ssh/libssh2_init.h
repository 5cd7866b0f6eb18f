// One-time initialisation of libssh2 for the whole process.
#ifndef QUELBAR_CORE_SSH_LIBSSH2_INIT_H_
#define QUELBAR_CORE_SSH_LIBSSH2_INIT_H_

// Runs libssh2_init(0) on the first call, and registers libssh2_exit for the end of the process;
// every call answers whether that one initialisation succeeded.
bool InitLibssh2Once();

#endif  // QUELBAR_CORE_SSH_LIBSSH2_INIT_H_
