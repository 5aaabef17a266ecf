# Installation of the data files. The Debian packages (debian/) install each
# component into a staging folder of its own:
#   qor-relay-board      both programs, the example configuration, the manual pages
#   libqor-board-sim1    the simulated board library
#   libqor-board-gpiod1  the board library on Linux GPIO lines, its line map and
#                        qor-board-lines

# qor_install_kept(FILE DIR COMPONENT): installs FILE into DIR, whatever the
# prefix, unless a file of its name is there already: that one belongs to the
# integrator and is kept. The packages get the same guarantee from dpkg's
# conffile rules.
function(qor_install_kept file dir component)
  get_filename_component(name "${file}" NAME)
  install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${dir}/${name}\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${dir}/${name}\")
  else()
    file(INSTALL DESTINATION \"${dir}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${file}\")
  endif()"
  COMPONENT ${component})
endfunction()

# The driver reads its configuration from a fixed path, so the example goes
# there.
qor_install_kept(${PROJECT_SOURCE_DIR}/qor-driver-relay/relay-conf.json /etc/qor-driver programs)

# The GPIO board library's line map, the same way: the example maps no line.
if(QOR_GPIOD)
  qor_install_kept(${PROJECT_SOURCE_DIR}/qor-board-gpiod/lines.conf /etc/qor-board gpiod)
endif()

# Each program installs its own manual page (qor_man_page, cmake/manpages.cmake).
