# Toolchain of the wheels: Debian 12's g++ 12 (the native one for x86-64, the cross compiler for aarch64) against
# a Debian 11 sysroot, so that the module asks for nothing newer than glibc 2.31. tools/wheels.sh sets
# KESTRO_WHEEL_ARCH and KESTRO_WHEEL_SYSROOT in the environment (CMake reads this file again for its own checks).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{KESTRO_WHEEL_ARCH})
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++-12)
  set(triplet aarch64-linux-gnu)
else()
  set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++-12)
  set(triplet x86_64-linux-gnu)
endif()
set(CMAKE_SYSROOT $ENV{KESTRO_WHEEL_SYSROOT})
# The native compiler also links from its own prefix (the builder's newer C library) unless told to look in
# the sysroot first, for the start files (-B) as for the libraries.
set(sysroot_libs "-B${CMAKE_SYSROOT}/usr/lib/${triplet} -L${CMAKE_SYSROOT}/usr/lib/${triplet} -L${CMAKE_SYSROOT}/lib/${triplet}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${sysroot_libs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${sysroot_libs}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${sysroot_libs}")
set(CMAKE_FIND_ROOT_PATH $ENV{KESTRO_WHEEL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
