// The channel between the user's program and the privileged network helper:
// a Unix stream socket that root and one group may reach, the credentials of
// the process behind a connection, and descriptors handed over with a message
// (the helper opens the TUN device; the user's program only uses it).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/net.h"

namespace vantor::platform {

struct PeerCredentials {
  unsigned uid = 0;
  unsigned gid = 0;
  int pid = 0;
  std::vector<unsigned> groups;  // supplementary groups, where the kernel tells them
};

// Whether host changes go through a separate privileged helper process. On
// Windows they do not: the program runs elevated and serves itself with the
// helper's code in-process, and connectHelperSocket always fails.
bool helperProcessUsed();

// The id of a group by name; false when there is none.
bool groupIdByName(const std::string& name, unsigned& gid);

// Listens on `path`, mode 0660, owned by root and group `gid`. The folder
// that holds it must be root's and writable by nobody else (it is created
// 0755 when missing); a stale socket name is replaced.
SocketHandle listenHelperSocket(const std::string& path, unsigned gid, std::string& error);
// Connects to the helper's socket; on failure `error` holds errno (EACCES:
// the socket is there but not ours to use).
SocketHandle connectHelperSocket(const std::string& path, int& error);
// Accepts one connection with the credentials of its process.
SocketHandle acceptHelperClient(SocketHandle server, PeerCredentials& peer);
// A connected pair, for the helper run inside the user's own process.
bool helperSocketPair(SocketHandle& first, SocketHandle& second, std::string& error);

// The folder that holds the helper's record of host changes and its hold on
// the host network (one per machine).
std::string helperStateFolder();
// Creates the helper's state folder `dir` (with its parents) when missing and
// makes sure it is a folder of the effective user that nobody else may use
// (taking group and other rights away on Linux). False with `error` otherwise.
bool prepareHelperStateFolder(const std::string& dir, std::string& error);

// Sends the whole message, with `handle` attached when it is not -1.
bool sendMessage(SocketHandle socket, std::string_view message, long handle = -1);
// Receives up to `size` bytes (0 at the end of the stream, -1 on error); a
// descriptor that came along is stored in `handle` (close-on-exec).
long receiveMessage(SocketHandle socket, char* buffer, std::size_t size, long& handle);
// A handle that came with a message and is not wanted (only TUN device
// handles travel this way): closes it.
void dropReceivedHandle(long handle);
// The sender's part of a handle sent along: on Linux the receiver got a copy
// of its own and this one is closed; where the handle itself went over (the
// helper in-process on Windows) the receiver owns it and nothing is done.
void releaseSentHandle(long handle);

}  // namespace vantor::platform
