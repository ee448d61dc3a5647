// The tunnel's channel logger. Every module logs to a named channel at a
// level from 1 (error) to 5 (debug); a line is formatted only when its level
// is at or below the channel's level, into one 2048-byte line buffer, and
// handed to the installed sink under one lock.
#pragma once

#include <cstdarg>

namespace vantor::tunnel {

enum BLogLevel {
  BLOG_NONE = 0,
  BLOG_ERROR = 1,
  BLOG_WARNING = 2,
  BLOG_NOTICE = 3,
  BLOG_INFO = 4,
  BLOG_DEBUG = 5,
};

enum BLogChannel {
  BLOG_CHANNEL_tun2socks,
  BLOG_CHANNEL_BReactor,
  BLOG_CHANNEL_BSignal,
  BLOG_CHANNEL_BTime,
  BLOG_CHANNEL_BTap,
  BLOG_CHANNEL_lwip,
  BLOG_CHANNEL_addr,
  BLOG_CHANNEL_BNetwork,
  BLOG_CHANNEL_BConnection,
  BLOG_CHANNEL_BSocksClient,
  BLOG_CHANNEL_PacketProtoDecoder,
  BLOG_CHANNEL_udpgw,
  BLOG_CHANNEL_UdpGwClient,
  BLOG_CHANNEL_SocksUdpGwClient,
  BLOG_NUM_CHANNELS,
};

inline constexpr int BLOG_LINE_SIZE = 2048;

// Output function and release function of a log sink.
struct BLogSink {
  void (*output)(void* user, const char* channel, int level, const char* text) = nullptr;
  void (*release)(void* user) = nullptr;
  void* user = nullptr;
};

// Installs the channel table with its built-in levels and `sink`. A sink
// without an output function discards every line.
void BLog_Init(const BLogSink& sink);
// The discarding sink the tunnel uses unless told otherwise.
BLogSink BLog_DiscardSink();
// A sink writing "channel(level): text" lines to the process error stream.
BLogSink BLog_StderrSink();
// Calls the sink's release function; later log calls are dropped.
void BLog_Free();

void BLog_SetChannelLevel(int channel, int level);
void BLog_SetAllLevels(int level);
int BLog_ChannelLevel(int channel);
const char* BLog_ChannelName(int channel);
// A channel name or a level word/number as the level options take them; -1 when unknown.
int BLog_ChannelByName(const char* name);
int BLog_LevelByName(const char* word);

bool BLog_WouldLog(int channel, int level);
void BLog_Log(int channel, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void BLog_LogV(int channel, int level, const char* fmt, va_list ap);
// `prefix` (already formatted) followed by the message, in one line.
void BLog_LogPrefixed(int channel, int level, const char* prefix, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace vantor::tunnel
