# Installation of the data files, and the Debian packages (CPack).
#
# Three packages come out of one build:
#   qor-relay-board      both programs, the example configuration, the manual pages
#   libqor-board-sim1    the simulated board library
#   libqor-board-gpiod1  the board library on Linux GPIO lines, its line map and
#                        qor-board-lines
# The programs depend on the virtual package libqor-board1, named after the
# library's SONAME libqor-board.so.1. Both our libraries provide it, and so
# does (or should) the maker's library package, so a board that has the real
# library installs the programs without ours.

# The driver reads its configuration from a fixed path, so the example goes
# there whatever the prefix. A file already there belongs to the integrator
# and is kept; the packages get the same guarantee from dpkg's conffile rules.
set(QOR_CONFIG_DIR /etc/qor-driver)
set(QOR_CONFIG_EXAMPLE ${PROJECT_SOURCE_DIR}/qor-driver-relay/relay-conf.json)
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${QOR_CONFIG_DIR}/relay-conf.json\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${QOR_CONFIG_DIR}/relay-conf.json\")
  else()
    file(INSTALL DESTINATION \"${QOR_CONFIG_DIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${QOR_CONFIG_EXAMPLE}\")
  endif()"
  COMPONENT programs)

# The GPIO board library's line map, the same way: the example maps no line.
set(QOR_LINES_DIR /etc/qor-board)
set(QOR_LINES_EXAMPLE ${PROJECT_SOURCE_DIR}/qor-board-gpiod/lines.conf)
if(QOR_GPIOD)
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${QOR_LINES_DIR}/lines.conf\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${QOR_LINES_DIR}/lines.conf\")
  else()
    file(INSTALL DESTINATION \"${QOR_LINES_DIR}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${QOR_LINES_EXAMPLE}\")
  endif()"
  COMPONENT gpiod)
endif()

# Each program installs its own manual page (qor_man_page, cmake/manpages.cmake).

# --- Debian packages ---------------------------------------------------------

# The package architecture is the target's, not the build machine's: Debian's
# name for the toolchain's multiarch tuple.
set(QOR_DEB_ARCH_x86_64-linux-gnu amd64)
set(QOR_DEB_ARCH_i386-linux-gnu i386)
set(QOR_DEB_ARCH_arm-linux-gnueabihf armhf)
set(QOR_DEB_ARCH_arm-linux-gnueabi armel)
set(QOR_DEB_ARCH_aarch64-linux-gnu arm64)
set(QOR_DEB_ARCH "${QOR_DEB_ARCH_${CMAKE_LIBRARY_ARCHITECTURE}}")
if(NOT QOR_DEB_ARCH AND CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "No Debian architecture known for '${CMAKE_LIBRARY_ARCHITECTURE}'")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qor relay board")
set(CPACK_PACKAGE_CONTACT "qor relay board maintainers <maintainers@qor-relay-board.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs board)
if(QOR_GPIOD)
  list(APPEND CPACK_COMPONENTS_ALL gpiod)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
if(QOR_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QOR_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Control files and maintainer scripts get the modes dpkg expects.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the Qt, C and C++ runtime packages; our own library is
# no installed package, so it is found in the build tree and declared by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_target_property(QOR_BOARD_BUILD_DIR qor-board BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QOR_BOARD_BUILD_DIR})

# Every package carries the same copyright file and changelog in its
# /usr/share/doc/<package>/ (the changelog's newest entry takes its version
# from project(VERSION)), and its lintian overrides from
# packaging/<package>.lintian-overrides. These are for the packages only:
# EXCLUDE_FROM_ALL keeps them out of a plain "cmake --install", while CPack
# installs each component by name and gets them.
set(QOR_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
  ${PROJECT_BINARY_DIR}/deb/changelog.Debian @ONLY)
set(QOR_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/deb/changelog.Debian.gz)
qor_gzip(${PROJECT_BINARY_DIR}/deb/changelog.Debian ${QOR_DEB_CHANGELOG})
add_custom_target(deb-changelog ALL DEPENDS ${QOR_DEB_CHANGELOG})
function(qor_deb_files component package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${QOR_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME qor-relay-board)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS libqor-board1)
qor_deb_files(programs qor-relay-board)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
  "intercom relay board driver and LED status blinker
qor-driver-relay is the console driver that the intercom program talks to
over standard input and output: it opens the board's two relays, runs the
room-list dialogues and reports the key inputs. qora_led_driver shows an
8-bit status code on the board's LED. The board library comes from a package
providing libqor-board1: the maker's, or libqor-board-sim1 for a simulation.")
set(QOR_DEB_CONFFILES ${PROJECT_BINARY_DIR}/deb/programs/conffiles)
file(WRITE ${QOR_DEB_CONFFILES} "${QOR_CONFIG_DIR}/relay-conf.json\n")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${QOR_DEB_CONFFILES})

# qor_deb_board_library(<component> <package> <other library package>)
# One of our libqor-board.so.1 packages. This, the other one and the maker's
# library all ship libqor-board.so.1: one at a time. dpkg replaces a package
# that a new one conflicts with and replaces only by its own name, not
# through the virtual one, so each of our libraries names the other too.
# Whatever links against the library depends on the virtual name (shlibs),
# and dpkg refreshes the library cache once per run through a trigger (the
# generator script in cmake/cpack/ then leaves out CPack's ldconfig calls).
# Sets QOR_DEB_<COMPONENT>_CONTROL to the control files written.
function(qor_deb_board_library component package other)
  string(TOUPPER ${component} up)
  set(CPACK_DEBIAN_${up}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_SECTION libs PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_PROVIDES libqor-board1 PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_CONFLICTS "libqor-board1, ${other}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${up}_PACKAGE_REPLACES "libqor-board1, ${other}" PARENT_SCOPE)
  qor_deb_files(${component} ${package})
  set(dir ${PROJECT_BINARY_DIR}/deb/${component})
  file(WRITE ${dir}/shlibs "libqor-board 1 libqor-board1\n")
  file(WRITE ${dir}/triggers "activate-noawait ldconfig\n")
  set(QOR_DEB_${up}_CONTROL ${dir}/shlibs ${dir}/triggers PARENT_SCOPE)
endfunction()

qor_deb_board_library(board libqor-board-sim1 libqor-board-gpiod1)
set(CPACK_COMPONENT_BOARD_DESCRIPTION
  "simulated relay board I/O library
A stand-in for the board maker's libqor-board.so.1 that logs relay and LED
changes and reads the keys from files, so that the relay board programs run
without the board. See the ENVIRONMENT section of qor-driver-relay(8).
qor-board-vcd turns its trace into a Value Change Dump for waveform viewers.")
set(CPACK_DEBIAN_BOARD_PACKAGE_CONTROL_EXTRA ${QOR_DEB_BOARD_CONTROL})

qor_deb_board_library(gpiod libqor-board-gpiod1 libqor-board-sim1)
set(CPACK_COMPONENT_GPIOD_DESCRIPTION
  "relay board I/O library on Linux GPIO lines
The board library libqor-board.so.1 for a real board: it drives the two
relays, reads the two keys and switches the status LED through the kernel's
GPIO character device (libgpiod), on the lines that /etc/qor-board/lines.conf
names. It takes the place of libqor-board-sim1, and the relay board programs
run on it unchanged. qor-board-lines checks the line map against the GPIO
chips. See qor-board-gpiod(7).")
# The line map is the package's conffile.
file(WRITE ${PROJECT_BINARY_DIR}/deb/gpiod/conffiles "${QOR_LINES_DIR}/lines.conf\n")
set(CPACK_DEBIAN_GPIOD_PACKAGE_CONTROL_EXTRA ${QOR_DEB_GPIOD_CONTROL}
  ${PROJECT_BINARY_DIR}/deb/gpiod/conffiles)
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake/cpack ${CMAKE_MODULE_PATH})

include(CPack)
