// How much slower the tests run where their binaries run under an emulator
// (qemu user mode, for the 32-bit ARM build): wall-time bounds on work the
// test binary does itself, such as the simulator making and copying a large
// frame, are stretched by this factor there. Emulated code runs several times
// slower than the host's, and again slower while other emulated tests share
// the cores. Bounds on the library's own timeouts stay as they are.
#ifndef KYR_TEST_SPEED_H
#define KYR_TEST_SPEED_H

#ifdef KYR_TEST_EMULATED
constexpr int kTestSlowdown = 20;
#else
constexpr int kTestSlowdown = 1;
#endif

#endif
