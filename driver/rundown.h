// A rundown guard for a resource that one owner frees or replaces while
// other threads use it: users enter and leave; the owner closes the guard,
// waits until the last user has left, changes the resource and opens it.
#pragma once

#include "driver/kernel.h"

struct Rundown {
  KSPIN_LOCK lock;  // guards users and closed, and keeps idle in step with users
  LONG users;
  BOOLEAN closed;
  KEVENT idle;  // notification event, set exactly while users is 0
};

// Starts closed: nobody may use the resource until the owner opens it.
void InitializeRundown(Rundown* rundown);
// False when the guard is closed: the caller must not touch the resource.
// Every successful enter is paired with a leave. Up to dispatch level.
bool EnterRundown(Rundown* rundown);
void LeaveRundown(Rundown* rundown);
// The owner's side: close refuses new users (up to dispatch level); wait
// returns, at passive level, once the users present at the close have left.
void CloseRundown(Rundown* rundown);
void WaitForRundown(Rundown* rundown);
void OpenRundown(Rundown* rundown);
