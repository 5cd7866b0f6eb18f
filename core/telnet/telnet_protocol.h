// The bytes this client puts into Telnet messages, built here because libtelnet 0.21 gets two of
// them wrong (it has no NVT text sender, and its NEW-ENVIRON helper leaves out the IS byte), and
// the errors it makes from libtelnet's ERROR events.
#ifndef QUELBAR_CORE_TELNET_TELNET_PROTOCOL_H_
#define QUELBAR_CORE_TELNET_TELNET_PROTOCOL_H_

#include <cstdint>
#include <string>

#include "core/error.h"

// Text as the network virtual terminal carries it: "\r" becomes CR NUL and "\n" becomes CR LF. IAC
// doubling is left to libtelnet's telnet_send.
std::string ToNetworkText(const std::string& text);

// TERMINAL-TYPE IS <name>.
std::string TerminalTypeIsPayload(const std::string& terminal_type);

// NAWS: columns and rows, each taken modulo 65536, big-endian.
std::string WindowSizePayload(int32_t columns, int32_t rows);

// NEW-ENVIRON IS VAR <name> VALUE <value>, with the bytes that would read as protocol codes (0 to
// 3) escaped as the option requires.
std::string EnvironmentIsPayload(const std::string& name, const std::string& value);

// {kProtocol, code, message} for a libtelnet ERROR event. libtelnet leaves the event's code field
// unset, so the code is told from the message: TELNET_ENOMEM for allocation failures,
// TELNET_EPROTOCOL otherwise.
Error MakeTelnetError(const char* message);

// Whether a libtelnet WARNING says that a subnegotiation outgrew the 16 KiB libtelnet keeps of it
// (libtelnet then reads the rest of it as text).
bool IsSubnegotiationOverflow(const char* warning);
// {kProtocol, TELNET_EOVERFLOW, what happened} for such a subnegotiation.
Error SubnegotiationTooLongError();

#endif  // QUELBAR_CORE_TELNET_TELNET_PROTOCOL_H_
