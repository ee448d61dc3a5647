// Threads created suspended by the system itself (CREATE_SUSPENDED) and
// started by ResumeThread.
#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <climits>
#include <chrono>
#include <thread>

#include "platform/windows/win_support.h"

namespace vantor::platform {

struct Thread::Impl {
  HANDLE handle = nullptr;
  bool suspended = false;
  bool joinable = false;
};

namespace {
unsigned __stdcall threadMain(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  if (*body) (*body)();
  return 0;
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() { release(); }
Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    release();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

void Thread::release() {
  if (impl_ && impl_->joinable) {
    resume();
    detach();
  }
}

bool Thread::createSuspended(std::function<void()> body, std::size_t stackSize) {
  // _beginthreadex takes an unsigned size; a larger request must fail, not
  // wrap around to a small (or the default) stack.
  if (stackSize > UINT_MAX) return false;
  auto impl = std::make_unique<Impl>();
  auto* arg = new std::function<void()>(std::move(body));
  // The stack size is the reserve, as the Linux side's is the whole stack.
  uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), threadMain, arg,
                               CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == 0) {
    delete arg;
    return false;
  }
  impl->handle = reinterpret_cast<HANDLE>(h);
  impl->suspended = true;
  impl->joinable = true;
  release();
  impl_ = std::move(impl);
  return true;
}

void Thread::resume() {
  if (!impl_ || !impl_->handle || !impl_->suspended) return;
  ResumeThread(impl_->handle);
  impl_->suspended = false;
}

void Thread::join() {
  if (!impl_ || !impl_->joinable) return;
  resume();
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
  impl_->handle = nullptr;
  impl_->joinable = false;
}

void Thread::detach() {
  if (!impl_ || !impl_->joinable) return;
  CloseHandle(impl_->handle);
  impl_->handle = nullptr;
  impl_->joinable = false;
}

bool Thread::valid() const { return impl_ && impl_->joinable; }

void sleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void setCurrentThreadName(const char* name) {
  // SetThreadDescription exists from Windows 10 1607 on; looked up so older
  // systems (and Wine versions without it) still run.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static auto fn = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!fn) return;
  std::string shortName(name);
  if (shortName.size() > 15) shortName.resize(15);
  fn(GetCurrentThread(), win::widen(shortName).c_str());
}

}  // namespace vantor::platform
