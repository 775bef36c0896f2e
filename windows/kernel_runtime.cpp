// The pieces of the C++ run-time a kernel driver has to bring itself.

// Called if a pure virtual function is ever reached through a partly built
// object; the driver never does that, so stop the system visibly.
extern "C" void __cxa_pure_virtual() { __builtin_trap(); }
