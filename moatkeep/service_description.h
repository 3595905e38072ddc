// Service descriptions of the relay table: "telnet", "23", "domain/udp",
// "socks 1080/tcp" (a service name, else the number after the blank).
#pragma once

#include <cstdint>

#include "zunder/strings.h"

// The port of the described service, or 0 when the description is not
// usable; then a complete error sentence is appended to errors.
// serviceName receives the canonical name, as "telnet/tcp" (the host's name
// for the port, else the number, "/", the protocol); protocol receives "tcp"
// or "udp".
uint16_t ParseService(const char* description, ZString& serviceName, ZString& protocol, ZString& errors);
