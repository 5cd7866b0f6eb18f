// Readers of the arguments of SshClient.exec and SshClient.shell, and the callback makers they use.
// Like every option reader they never throw: a value that is not a function leaves a callback that
// does nothing.
#ifndef QUELBAR_NODEJS_SHELL_EXEC_ARGUMENTS_H_
#define QUELBAR_NODEJS_SHELL_EXEC_ARGUMENTS_H_

#include <nan.h>

#include "core/ssh/ssh_client_options.h"

// exec(command, callback, errorCallback): the command is the bytes of a Buffer or another view (any
// other value runs the empty command); callback gets (exit status, output Buffer).
ExecOptions ReadExecArguments(const Nan::FunctionCallbackInfo<v8::Value>& info);

// shell(terminal options, readyCallback, dataCallback, disconnectCallback, agent options). False,
// with a TypeError thrown, for agent options that would serve requests script meant to confirm
// without asking (an onPromptCallback that is not a function).
bool ReadShellArguments(const Nan::FunctionCallbackInfo<v8::Value>& info, ShellOptions* options);

#endif  // QUELBAR_NODEJS_SHELL_EXEC_ARGUMENTS_H_
