#include "tunnel/base/blog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

namespace vantor::tunnel {
namespace {

const char* const kChannelNames[BLOG_NUM_CHANNELS] = {
    "tun2socks",
    "BReactor",
    "BSignal",
    "BTime",
    "BTap",
    "lwip",
    "addr",
    "BNetwork",
    "BConnection",
    "BSocksClient",
    "PacketProtoDecoder",
    "udpgw",
    "UdpGwClient",
    "SocksUdpGwClient",
};

const char* const kLevelNames[] = {"none", "error", "warning", "notice", "info", "debug"};

int builtInLevel(int channel) {
  return (channel == BLOG_CHANNEL_BReactor || channel == BLOG_CHANNEL_BSignal) ? BLOG_NOTICE : BLOG_INFO;
}

struct LogState {
  std::mutex lock;
  // Read without the lock so that filtered-out lines cost no locking.
  std::atomic<bool> initialised{false};
  // Whether the sink writes anything: with the discarding sink no line is
  // worth formatting (the tunnel would format one for every datagram).
  std::atomic<bool> hasOutput{false};
  BLogSink sink;
  std::atomic<int> levels[BLOG_NUM_CHANNELS] = {};
  char line[BLOG_LINE_SIZE] = {};
};

LogState& state() {
  static LogState s;
  return s;
}

void emitLocked(LogState& s, int channel, int level) {
  if (s.sink.output) s.sink.output(s.sink.user, kChannelNames[channel], level, s.line);
}

// Appends printf-style output to the line; a text that does not fit leaves
// the first BLOG_LINE_SIZE - 1 characters.
void appendV(char* line, std::size_t& used, const char* fmt, va_list ap) {
  if (used >= BLOG_LINE_SIZE - 1) return;
  int n = std::vsnprintf(line + used, BLOG_LINE_SIZE - used, fmt, ap);
  if (n < 0) return;
  used += static_cast<std::size_t>(n);
  if (used > BLOG_LINE_SIZE - 1) used = BLOG_LINE_SIZE - 1;
}

bool validChannel(int channel) { return channel >= 0 && channel < BLOG_NUM_CHANNELS; }

void stderrOutput(void*, const char* channel, int level, const char* text) {
  const char* word = (level >= 0 && level <= BLOG_DEBUG) ? kLevelNames[level] : "?";
  std::fprintf(stderr, "%s(%s): %s\n", channel, word, text);
}

}  // namespace

void BLog_Init(const BLogSink& sink) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.sink = sink;
  s.hasOutput = sink.output != nullptr;
  for (int c = 0; c < BLOG_NUM_CHANNELS; ++c) s.levels[c] = builtInLevel(c);
  s.initialised = true;
}

BLogSink BLog_DiscardSink() { return BLogSink{}; }

BLogSink BLog_StderrSink() {
  BLogSink sink;
  sink.output = stderrOutput;
  return sink;
}

void BLog_Free() {
  LogState& s = state();
  BLogSink sink;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.initialised) return;
    s.initialised = false;
    s.hasOutput = false;
    sink = s.sink;
    s.sink = BLogSink{};
  }
  if (sink.release) sink.release(sink.user);
}

void BLog_SetChannelLevel(int channel, int level) {
  if (!validChannel(channel)) return;
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.levels[channel] = level;
}

void BLog_SetAllLevels(int level) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  for (int c = 0; c < BLOG_NUM_CHANNELS; ++c) s.levels[c] = level;
}

int BLog_ChannelLevel(int channel) {
  if (!validChannel(channel)) return BLOG_NONE;
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.levels[channel];
}

const char* BLog_ChannelName(int channel) { return validChannel(channel) ? kChannelNames[channel] : ""; }

int BLog_ChannelByName(const char* name) {
  for (int c = 0; c < BLOG_NUM_CHANNELS; ++c)
    if (std::strcmp(kChannelNames[c], name) == 0) return c;
  return -1;
}

int BLog_LevelByName(const char* word) {
  for (int l = 0; l <= BLOG_DEBUG; ++l)
    if (std::strcmp(kLevelNames[l], word) == 0) return l;
  if (word[0] >= '0' && word[0] <= '5' && word[1] == '\0') return word[0] - '0';
  return -1;
}

bool BLog_WouldLog(int channel, int level) {
  if (!validChannel(channel)) return false;
  LogState& s = state();
  return s.initialised.load(std::memory_order_relaxed) && s.hasOutput.load(std::memory_order_relaxed) &&
         level <= s.levels[channel].load(std::memory_order_relaxed);
}

void BLog_LogV(int channel, int level, const char* fmt, va_list ap) {
  if (!BLog_WouldLog(channel, level)) return;
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.initialised || level > s.levels[channel]) return;
  std::size_t used = 0;
  s.line[0] = '\0';
  appendV(s.line, used, fmt, ap);
  emitLocked(s, channel, level);
}

void BLog_Log(int channel, int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  BLog_LogV(channel, level, fmt, ap);
  va_end(ap);
}

void BLog_LogPrefixed(int channel, int level, const char* prefix, const char* fmt, ...) {
  if (!BLog_WouldLog(channel, level)) return;
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.initialised || level > s.levels[channel]) return;
  std::size_t used = 0;
  s.line[0] = '\0';
  auto appendText = [&](const char* text) {
    std::size_t len = std::strlen(text);
    std::size_t room = BLOG_LINE_SIZE - 1 - used;
    if (len > room) len = room;
    std::memcpy(s.line + used, text, len);
    used += len;
    s.line[used] = '\0';
  };
  appendText(prefix);
  va_list ap;
  va_start(ap, fmt);
  appendV(s.line, used, fmt, ap);
  va_end(ap);
  emitLocked(s, channel, level);
}

}  // namespace vantor::tunnel
