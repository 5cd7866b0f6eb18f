// Entry points of the script-facing units. Each script class lives in an anonymous namespace of its
// own file; these free functions are how the registration unit and the other units reach it.
#ifndef QUELBAR_NODEJS_INIT_H_
#define QUELBAR_NODEJS_INIT_H_

#include <nan.h>

using ExportsObject = v8::Local<v8::Object>;

void InitNodePortForwarding(ExportsObject exports);
void InitNodeRemoteTerminal(ExportsObject exports);
void InitNodeFileSystem(ExportsObject exports);  // also FileAttrs, FileReader and FileWriter
void InitNodeSshAgentStorage(ExportsObject exports);
void InitNodeSshCertificate(ExportsObject exports);
void InitKeyFunctions(ExportsObject exports);
void InitNodeSshClient(ExportsObject exports);
void InitNodeTelnetClient(ExportsObject exports);

class SessionHost;
// SshClient.sftp: callback(0, FileSystem) or callback(code, an inert FileSystem).
void StartSftpForScript(SessionHost& session, v8::Local<v8::Value> callback);

#endif  // QUELBAR_NODEJS_INIT_H_
