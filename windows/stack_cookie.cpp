// Stack-cookie support for frames compiled with -fstack-protector-strong:
// the compiler stores __stack_chk_guard below a frame's arrays on entry and
// calls __stack_chk_fail if it changed by the time the function returns.
#include <ntddk.h>

#include "windows/stack_cookie.h"

namespace {
// The kernel's own code for this failure: a driver overran a stack buffer.
// Using it (rather than a private code) lets crash analysis name the fault
// without knowing about this driver.
constexpr ULONG kDriverOverranStackBuffer = 0xF7;
}  // namespace

extern "C" {

// Not constant-zero before seeding so that a frame checked before
// DriverEntry seeds it (there is none today) still has a nonzero cookie.
uintptr_t __stack_chk_guard = 0x7c2a5e1d9b3f4086ull;

// A failed check means the stack is corrupt: nothing in this frame's
// callers can be trusted, so the system stops rather than return into them.
__attribute__((noreturn)) void __stack_chk_fail() {
  KeBugCheckEx(kDriverOverranStackBuffer, __stack_chk_guard,
               reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}

void SeedStackCookie() {
  // The performance counter's exact count at load, the time since boot (in
  // 100 ns units) and the stack's and image's load addresses all vary between
  // boots and loads; rotating the interrupt time keeps its slowly changing
  // high bits from cancelling the counter's.
  ULONG_PTR counter = static_cast<ULONG_PTR>(KeQueryPerformanceCounter(nullptr).QuadPart);
  ULONG_PTR uptime = static_cast<ULONG_PTR>(KeQueryUnbiasedInterruptTime());
  ULONG_PTR local = 0;
  ULONG_PTR cookie = counter ^ ((uptime << 32) | (uptime >> 32)) ^ reinterpret_cast<ULONG_PTR>(&local) ^
                     (reinterpret_cast<ULONG_PTR>(&__stack_chk_guard) << 16);
  // A zero low byte stops an overflow by a string copy (which ends at its
  // terminating zero) from rewriting the cookie with its own value.
  cookie &= ~static_cast<ULONG_PTR>(0xff);
  if (cookie == 0) cookie = 0x5a3c96e100ull;
  __stack_chk_guard = cookie;
}

}  // extern "C"
