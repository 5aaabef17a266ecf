# Installation of the data files. The Debian packages (debian/) install each
# component into a staging folder of its own:
#   qor-relay-board      both programs, the example configuration, the manual pages
#   libqor-board-sim1    the simulated board library
#   libqor-board-gpiod1  the board library on Linux GPIO lines, its line map and
#                        qor-board-lines

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
