# Cross build for 32-bit ARM hard-float (armhf) with Debian's
# arm-linux-gnueabihf toolchain and the armhf libraries installed beside the
# host's (multiarch). Test binaries run under qemu-arm user emulation, both for
# ctest and for GoogleTest's test discovery.
#
#   cmake -S . -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KYR_TARGET_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${KYR_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KYR_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KYR_TARGET_TRIPLET})

# Debian's armhf baseline: ARMv7 with VFPv3-D16 and no NEON. Code that uses NEON
# selects it at run time. Format mismatches that pass where long and size_t are
# 64 bits wide are errors here. (-Wno-psabi: GCC's notes on an argument-passing
# change of GCC 7.1, which concern nothing built here with older compilers.)
set(KYR_ARMHF_FLAGS "-march=armv7-a+fp -mfpu=vfpv3-d16 -mfloat-abi=hard -Werror=format -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "${KYR_ARMHF_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KYR_ARMHF_FLAGS}")

# Libraries and packages from the multiarch folders; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KYR_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# log4cpp's development package is not co-installable across architectures, so
# armhf has only its runtime library and no pkg-config file: the build takes the
# host's headers (nothing in them depends on the architecture) and links the
# armhf library by path.
set(KYR_LOG4CPP_LIBRARY /usr/lib/${KYR_TARGET_TRIPLET}/liblog4cpp.so.5 CACHE FILEPATH
    "log4cpp library linked by path where no pkg-config file describes it")

# Test programs run under qemu-arm. Their C and C++ runtime is Debian's armhf
# one in the multiarch folders (with its loader at /lib/ld-linux-armhf.so.3),
# installed beside the armhf libraries they link; the cross toolchain's own
# copy under /usr/arm-linux-gnueabihf is for linking only, since its loader and
# that C library must not be mixed.
find_program(KYR_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KYR_QEMU_ARM})
