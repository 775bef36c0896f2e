# How kernel-mode code is compiled and linked for x64 Windows with mingw-w64:
# shared by kscam.sys and by the test fixture images linked the same way.
set(MINGW_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
set(KSCAM_KERNEL_COMPILE_DEFINITIONS
  KSCAM_WINDOWS_KERNEL
  # wdm.h and mingw's intrin.h both define these two in C++ mode.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
# Frames with arrays or address-taken locals check a cookie on return
# (windows/stack_cookie.cpp holds the cookie and the failure routine).
set(KSCAM_KERNEL_COMPILE_OPTIONS
  -fstack-protector-strong
  -fno-exceptions -fno-rtti -fno-math-errno -fno-threadsafe-statics -msse2
  -Wall -Wno-unknown-pragmas -Wno-unused-parameter -Wno-missing-field-initializers)

# Nothing is exported (the entry point needs no export); the image can be
# loaded anywhere and its data is not executable. The base is only the
# preferred one: the kernel relocates every driver. Without time stamps two
# links of the same objects give the same bytes, which the package check
# relies on.
set(KSCAM_SYS_LINK_OPTIONS
  -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--exclude-all-symbols -Wl,--image-base,0x140000000 -Wl,--no-insert-timestamp)
set(KSCAM_SYS_LIBRARIES ks ntoskrnl usbd hal gcc)
