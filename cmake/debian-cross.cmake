# Cross build with Debian's multiarch cross compilers and the foreign
# architecture's packages installed beside the machine's own. The GNU triplet
# is the parameter: QOR_CROSS_TRIPLET, set by the preset (arm-linux-gnueabihf
# for armhf, aarch64-linux-gnu for arm64).

# CMake reads this file again for every try_compile project, where the cache
# is not there: the variable goes to those projects, and through the
# environment to any that are made without it.
if(NOT QOR_CROSS_TRIPLET AND DEFINED ENV{QOR_CROSS_TRIPLET})
  set(QOR_CROSS_TRIPLET "$ENV{QOR_CROSS_TRIPLET}")
endif()
if(NOT QOR_CROSS_TRIPLET)
  message(FATAL_ERROR "debian-cross.cmake needs QOR_CROSS_TRIPLET, the GNU triplet "
    "(arm-linux-gnueabihf, aarch64-linux-gnu): use the preset arm or arm64")
endif()
set(ENV{QOR_CROSS_TRIPLET} "${QOR_CROSS_TRIPLET}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QOR_CROSS_TRIPLET)
list(REMOVE_DUPLICATES CMAKE_TRY_COMPILE_PLATFORM_VARIABLES)

# The processor, and the user-mode qemu that runs its programs.
if(QOR_CROSS_TRIPLET STREQUAL "arm-linux-gnueabihf")
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(qor_qemu qemu-arm)
elseif(QOR_CROSS_TRIPLET STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(qor_qemu qemu-aarch64)
else()
  message(FATAL_ERROR "debian-cross.cmake: unknown triplet '${QOR_CROSS_TRIPLET}': "
    "arm-linux-gnueabihf or aarch64-linux-gnu")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${QOR_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${QOR_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QOR_CROSS_TRIPLET}-g++)

# The foreign libraries live in the host root under their multiarch directory.
set(CMAKE_FIND_ROOT_PATH /usr/${QOR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_PREFIX_PATH /usr/lib/${QOR_CROSS_TRIPLET}/cmake)

# No binfmt here: tests run through user-mode qemu, which finds the foreign
# loader and libraries in the host's multiarch directories.
find_program(QOR_CROSS_EMULATOR ${qor_qemu} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QOR_CROSS_EMULATOR})

# pkg-config (libgpiod) reads the foreign architecture's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QOR_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
