// The TUN device through Wintun. wintun.dll is loaded at run time from the
// program's own folder only (never from the search path), and its functions
// are declared here from Wintun's API documentation.
//
// The poller waits on sockets only, so a device's IoHandle is a wake event
// (a loopback socket) that a thread of the device signals whenever Wintun
// sets the session's read-wait event. The edge rule of poller.h holds: a read
// that finds the ring empty clears the wake event and looks once more, so a
// packet that arrives meanwhile is either read now or signalled anew. Writes
// never wait: a full send ring drops the packet, as a busy link would.
#include "platform/windows/host_text.h"
// clang-format off
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/process.h"
#include "platform/routes.h"
#include "platform/tun.h"
#include "platform/wake_event.h"
#include "platform/windows/wintun_packets.h"

namespace vantor::platform {
namespace {

using AdapterHandle = void*;
using SessionHandle = void*;

// The Wintun API (wintun.dll, version 0.14 and later).
struct WintunApi {
  AdapterHandle(WINAPI* CreateAdapter)(LPCWSTR name, LPCWSTR tunnelType, const GUID* requestedGuid);
  AdapterHandle(WINAPI* OpenAdapter)(LPCWSTR name);
  void(WINAPI* CloseAdapter)(AdapterHandle adapter);
  void(WINAPI* GetAdapterLUID)(AdapterHandle adapter, NET_LUID* luid);
  SessionHandle(WINAPI* StartSession)(AdapterHandle adapter, DWORD capacity);
  void(WINAPI* EndSession)(SessionHandle session);
  HANDLE(WINAPI* GetReadWaitEvent)(SessionHandle session);
  BYTE*(WINAPI* ReceivePacket)(SessionHandle session, DWORD* packetSize);
  void(WINAPI* ReleaseReceivePacket)(SessionHandle session, const BYTE* packet);
  BYTE*(WINAPI* AllocateSendPacket)(SessionHandle session, DWORD packetSize);
  void(WINAPI* SendPacket)(SessionHandle session, const BYTE* packet);
};

// 4 MiB per ring: a power of two between Wintun's 128 KiB and 64 MiB.
constexpr DWORD kRingCapacity = 0x400000;
constexpr wchar_t kTunnelType[] = L"Vantor";

thread_local DWORD tLastError = 0;

template <typename Fn>
bool bind(HMODULE dll, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  return fn != nullptr;
}

// The loaded API, or null with the reason in `error`.
const WintunApi* wintun(std::string& error) {
  static std::mutex lock;
  static WintunApi api{};
  static bool loaded = false;
  std::lock_guard<std::mutex> guard(lock);
  if (loaded) return &api;
  HMODULE dll = LoadLibraryExW(L"wintun.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  if (!dll) {
    tLastError = GetLastError();
    error =
        "wintun.dll was not found beside the program; put the wintun.dll of the matching architecture (from "
        "wintun.net) into the program folder (" +
        windows::errorText(tLastError) + ")";
    return nullptr;
  }
  bool ok =
      bind(dll, "WintunCreateAdapter", api.CreateAdapter) && bind(dll, "WintunOpenAdapter", api.OpenAdapter) &&
      bind(dll, "WintunCloseAdapter", api.CloseAdapter) && bind(dll, "WintunGetAdapterLUID", api.GetAdapterLUID) &&
      bind(dll, "WintunStartSession", api.StartSession) && bind(dll, "WintunEndSession", api.EndSession) &&
      bind(dll, "WintunGetReadWaitEvent", api.GetReadWaitEvent) &&
      bind(dll, "WintunReceivePacket", api.ReceivePacket) &&
      bind(dll, "WintunReleaseReceivePacket", api.ReleaseReceivePacket) &&
      bind(dll, "WintunAllocateSendPacket", api.AllocateSendPacket) && bind(dll, "WintunSendPacket", api.SendPacket);
  if (!ok) {
    FreeLibrary(dll);
    error = "wintun.dll beside the program lacks the functions of Wintun 0.14 or later";
    return nullptr;
  }
  loaded = true;  // kept loaded until the process ends
  return &api;
}

const WintunApi* loadedApi() {
  std::string ignored;
  return wintun(ignored);
}

// Trampolines from the portable packet layer to the DLL.
const uint8_t* receiveCall(void* session, uint32_t* size) {
  DWORD n = 0;
  BYTE* p = loadedApi()->ReceivePacket(session, &n);
  if (!p) tLastError = GetLastError();
  *size = n;
  return p;
}
void releaseCall(void* session, const uint8_t* packet) { loadedApi()->ReleaseReceivePacket(session, packet); }
uint8_t* allocateCall(void* session, uint32_t size) {
  BYTE* p = loadedApi()->AllocateSendPacket(session, size);
  if (!p) tLastError = GetLastError();
  return p;
}
void sendCall(void* session, const uint8_t* packet) { loadedApi()->SendPacket(session, packet); }
uint32_t lastErrorCall() { return tLastError; }

struct Device {
  AdapterHandle adapter = nullptr;
  bool ownsAdapter = false;
  SessionHandle session = nullptr;
  std::unique_ptr<windows::WintunPackets> packets;
  WakeEvent wake;
  HANDLE stop = nullptr;
  std::thread waiter;

  // Passes each signal of Wintun's read-wait event on to `wake`.
  void startWaiter(HANDLE readEvent) {
    waiter = std::thread([this, readEvent] {
      HANDLE handles[2] = {stop, readEvent};
      while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) wake.signal();
    });
  }
  void stopWaiter() {
    if (stop) SetEvent(stop);
    if (waiter.joinable()) waiter.join();
    if (stop) CloseHandle(stop);
    stop = nullptr;
  }
};

struct Registry {
  std::mutex lock;
  std::map<IoHandle, std::shared_ptr<Device>> devices;
  std::map<std::wstring, AdapterHandle> persistent;  // created by tunCreatePersistent
  std::map<std::wstring, IoHandle> provided;         // opened by the in-process helper
};
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::shared_ptr<Device> deviceOf(IoHandle handle) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.devices.find(handle);
  return it == r.devices.end() ? nullptr : it->second;
}

bool luidOf(const std::string& name, NET_LUID& luid) {
  std::wstring wide = windows::widen(name);
  return ConvertInterfaceAliasToLuid(wide.c_str(), &luid) == NO_ERROR;
}

bool fail(std::string& error, const std::string& what, DWORD code) {
  tLastError = code;
  error = what + ": " + windows::errorText(code);
  return false;
}

void fillAddress(SOCKADDR_INET& out, int family, const uint8_t* address) {
  std::memset(&out, 0, sizeof out);
  if (family == AF_INET) {
    out.Ipv4.sin_family = AF_INET;
    std::memcpy(&out.Ipv4.sin_addr, address, 4);
  } else {
    out.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&out.Ipv6.sin6_addr, address, 16);
  }
}

bool changeAddress(const std::string& name, int family, const uint8_t* address, int prefixLength, bool add,
                   std::string& error) {
  NET_LUID luid{};
  if (!luidOf(name, luid)) return fail(error, "no interface " + name, ERROR_NOT_FOUND);
  MIB_UNICASTIPADDRESS_ROW row;
  InitializeUnicastIpAddressEntry(&row);
  row.InterfaceLuid = luid;
  fillAddress(row.Address, family, address);
  row.OnLinkPrefixLength = static_cast<UINT8>(prefixLength);
  // A point-to-point link has no neighbours to ask: no duplicate detection.
  row.DadState = IpDadStatePreferred;
  DWORD result = add ? CreateUnicastIpAddressEntry(&row) : DeleteUnicastIpAddressEntry(&row);
  if (result == NO_ERROR) return true;
  return fail(error, add ? "cannot add the address" : "cannot remove the address", result);
}

bool hasAddress(const std::string& name, int family, const uint8_t* address) {
  NET_LUID luid{};
  if (!luidOf(name, luid)) return false;
  PMIB_UNICASTIPADDRESS_TABLE table = nullptr;
  if (GetUnicastIpAddressTable(static_cast<ADDRESS_FAMILY>(family), &table) != NO_ERROR) return false;
  bool found = false;
  for (ULONG i = 0; i < table->NumEntries && !found; ++i) {
    const MIB_UNICASTIPADDRESS_ROW& row = table->Table[i];
    if (row.InterfaceLuid.Value != luid.Value) continue;
    found = family == AF_INET ? std::memcmp(&row.Address.Ipv4.sin_addr, address, 4) == 0
                              : std::memcmp(&row.Address.Ipv6.sin6_addr, address, 16) == 0;
  }
  FreeMibTable(table);
  return found;
}

}  // namespace

IoHandle tunOpen(const std::string& name, std::string& error) {
  bool offloadOn = false;
  return tunOpen(name, false, offloadOn, error);
}

// Wintun moves plain IP packets: segmentation offload is never on.
IoHandle tunOpen(const std::string& name, bool /*offload*/, bool& offloadOn, std::string& error) {
  offloadOn = false;
  std::wstring wide = windows::widen(name);
  {
    // Wintun allows one session per adapter: the one the helper's code
    // opened is taken over, not opened again.
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.provided.find(wide);
    if (it != r.provided.end()) {
      IoHandle handle = it->second;
      r.provided.erase(it);
      if (r.devices.count(handle)) return handle;
    }
  }
  const WintunApi* api = wintun(error);
  if (!api) return kInvalidIoHandle;
  auto device = std::make_shared<Device>();
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.persistent.find(wide);
    if (it != r.persistent.end()) device->adapter = it->second;
  }
  if (!device->adapter) device->adapter = api->OpenAdapter(wide.c_str());
  if (!device->adapter) {
    device->adapter = api->CreateAdapter(wide.c_str(), kTunnelType, nullptr);
    if (!device->adapter) {
      fail(error, "cannot create the Wintun adapter " + name, GetLastError());
      return kInvalidIoHandle;
    }
    device->ownsAdapter = true;
  }
  device->session = api->StartSession(device->adapter, kRingCapacity);
  if (!device->session) {
    fail(error, "cannot start a Wintun session on " + name, GetLastError());
    if (device->ownsAdapter) api->CloseAdapter(device->adapter);
    return kInvalidIoHandle;
  }
  windows::WintunPacketCalls calls;
  calls.session = device->session;
  calls.receive = receiveCall;
  calls.release = releaseCall;
  calls.allocate = allocateCall;
  calls.send = sendCall;
  calls.lastError = lastErrorCall;
  device->packets = std::make_unique<windows::WintunPackets>(calls);
  device->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!device->stop || !device->wake.open()) {
    fail(error, "cannot create the device's wake event", GetLastError());
    if (device->stop) CloseHandle(device->stop);
    device->packets.reset();
    api->EndSession(device->session);
    if (device->ownsAdapter) api->CloseAdapter(device->adapter);
    return kInvalidIoHandle;
  }
  device->startWaiter(api->GetReadWaitEvent(device->session));
  IoHandle handle = device->wake.handle();
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.devices[handle] = device;
  return handle;
}

void tunClose(IoHandle handle) {
  std::shared_ptr<Device> device;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.devices.find(handle);
    if (it == r.devices.end()) return;
    device = std::move(it->second);
    r.devices.erase(it);
  }
  const WintunApi* api = loadedApi();
  device->stopWaiter();
  device->packets.reset();  // releases a packet it still held
  api->EndSession(device->session);
  if (device->ownsAdapter) api->CloseAdapter(device->adapter);
}

// The helper's code runs inside this process on Windows, so what it
// provides is a handle of this process, opened by tunOpen.
void tunProvideHandle(const std::string& name, IoHandle handle, bool) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.provided[windows::widen(name)] = handle;
}

long tunRead(IoHandle handle, void* buffer, std::size_t size) {
  std::shared_ptr<Device> device = deviceOf(handle);
  if (!device) {
    tLastError = ERROR_INVALID_HANDLE;
    return kTunError;
  }
  long n = device->packets->read(buffer, size);
  if (n == kTunWouldBlock) {
    device->wake.clear();
    n = device->packets->read(buffer, size);
  }
  if (n == kTunError) tLastError = device->packets->error();
  return n;
}

long tunWrite(IoHandle handle, const void* packet, std::size_t length) {
  std::shared_ptr<Device> device = deviceOf(handle);
  if (!device) {
    tLastError = ERROR_INVALID_HANDLE;
    return kTunError;
  }
  long n = device->packets->write(packet, length);
  if (n == kTunError) tLastError = device->packets->error();
  return n;
}

long tunReadOffload(IoHandle handle, TunPacketInfo& info, void* buffer, std::size_t size) {
  info = TunPacketInfo{};
  return tunRead(handle, buffer, size);
}

// Only plain packets: a handle never has offload on here.
long tunWriteOffload(IoHandle handle, const TunPacketInfo& info, const void* packet, std::size_t length) {
  if (info.gso != TunPacketInfo::kGsoNone || (info.flags & TunPacketInfo::kNeedsChecksum)) {
    tLastError = ERROR_NOT_SUPPORTED;
    return kTunError;
  }
  return tunWrite(handle, packet, length);
}

std::string lastErrorText() { return windows::errorText(tLastError); }

bool interfaceExists(const std::string& name) {
  NET_LUID luid{};
  return luidOf(name, luid);
}

// Wintun removes an adapter when the handle that created it closes, so the
// adapter lives as long as this process (or until tunDeletePersistent).
bool tunCreatePersistent(const std::string& name, std::string& error) {
  const WintunApi* api = wintun(error);
  if (!api) return false;
  std::wstring wide = windows::widen(name);
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.persistent.count(wide)) return true;
  AdapterHandle adapter = api->CreateAdapter(wide.c_str(), kTunnelType, nullptr);
  if (!adapter) return fail(error, "cannot create the Wintun adapter " + name, GetLastError());
  r.persistent[wide] = adapter;
  return true;
}

bool tunDeletePersistent(const std::string& name, std::string& error) {
  std::wstring wide = windows::widen(name);
  AdapterHandle adapter = nullptr;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.persistent.find(wide);
    if (it != r.persistent.end()) {
      adapter = it->second;
      r.persistent.erase(it);
    }
  }
  const WintunApi* api = wintun(error);
  if (!api) return false;
  // One left by an earlier run that ended abruptly is opened to be removed.
  if (!adapter) adapter = api->OpenAdapter(wide.c_str());
  if (!adapter) return true;  // nothing to remove
  api->CloseAdapter(adapter);
  return true;
}

bool interfaceMtu(const std::string& name, int& mtu) {
  NET_LUID luid{};
  if (!luidOf(name, luid)) return false;
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = AF_INET;
  row.InterfaceLuid = luid;
  if (GetIpInterfaceEntry(&row) != NO_ERROR) return false;
  mtu = static_cast<int>(row.NlMtu);
  return true;
}

bool setInterfaceUp(const std::string& name, bool up, std::string& error) {
  if (!interfaceExists(name)) return fail(error, "no interface " + name, ERROR_NOT_FOUND);
  if (up == interfaceIsUp(name)) return true;
  std::string output;
  int status = 0;
  if (runProcess({"netsh", "interface", "set", "interface", "name=" + name, up ? "admin=enabled" : "admin=disabled"},
                 &output, status, 20000) &&
      status == 0)
    return true;
  error = "netsh could not set " + name + (up ? " up" : " down") + ": " + output;
  return false;
}

bool interfaceIsUp(const std::string& name) {
  NET_LUID luid{};
  if (!luidOf(name, luid)) return false;
  MIB_IF_ROW2 row{};
  row.InterfaceLuid = luid;
  return GetIfEntry2(&row) == NO_ERROR && row.OperStatus == IfOperStatusUp;
}

bool addInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error) {
  return changeAddress(name, AF_INET, reinterpret_cast<const uint8_t*>(&address), prefixLength, true, error);
}
bool removeInterfaceAddress(const std::string& name, uint32_t address, int prefixLength, std::string& error) {
  return changeAddress(name, AF_INET, reinterpret_cast<const uint8_t*>(&address), prefixLength, false, error);
}
bool interfaceHasAddress(const std::string& name, uint32_t address) {
  return hasAddress(name, AF_INET, reinterpret_cast<const uint8_t*>(&address));
}
bool addInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error) {
  return changeAddress(name, AF_INET6, address, prefixLength, true, error);
}
bool removeInterfaceAddress6(const std::string& name, const uint8_t address[16], int prefixLength, std::string& error) {
  return changeAddress(name, AF_INET6, address, prefixLength, false, error);
}
bool interfaceHasAddress6(const std::string& name, const uint8_t address[16]) {
  return hasAddress(name, AF_INET6, address);
}

}  // namespace vantor::platform
