// The Windows test programs' <arpa/inet.h>: htons, inet_pton and friends
// come from Winsock there.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
