#pragma once
// The socket calls notara makes, for systems other than Windows: the POSIX
// ones already have the Windows names and arguments.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
