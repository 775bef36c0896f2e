// The stack cookie every protected frame of the driver checks on return.
#pragma once

#include <stdint.h>

// The value itself; defined in stack_cookie.cpp.
extern "C" uintptr_t __stack_chk_guard;

// Gives the cookie a value nobody can predict, from counters that differ at
// every boot and load. Call it first thing in DriverEntry, before any
// protected frame is live: a frame entered before the change would fail its
// check on return. It carries no check of its own for the same reason.
extern "C" __attribute__((no_stack_protector)) void SeedStackCookie();
