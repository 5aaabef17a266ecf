# CPack's own Debian generator script, with one change: a package whose
# control files activate the ldconfig trigger gets no postinst and postrm
# calling ldconfig.
#
# CPack writes those two scripts for any package with a shared library in
# /lib or /usr/lib, unless the package brings a postinst and a postrm of its
# own. The library needs neither: dpkg's trigger refreshes the cache once at
# the end of the run, which is what Debian asks of library packages.
# cpack finds this file before its own through CPACK_MODULE_PATH.
unset(GEN_CPACK_DEBIAN_GENERATE_POSTINST)
unset(GEN_CPACK_DEBIAN_GENERATE_POSTRM)
include(${CMAKE_ROOT}/Modules/Internal/CPack/CPackDeb.cmake)
if(NOT DEFINED GEN_CPACK_DEBIAN_GENERATE_POSTINST OR NOT DEFINED GEN_CPACK_DEBIAN_GENERATE_POSTRM)
  message(FATAL_ERROR "This CMake's Internal/CPack/CPackDeb.cmake no longer decides on "
    "its ldconfig scripts as ${CMAKE_CURRENT_LIST_FILE} expects")
endif()

foreach(control IN LISTS GEN_CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA)
  get_filename_component(name "${control}" NAME)
  if(name STREQUAL "triggers")
    file(STRINGS "${control}" ldconfig REGEX "^activate-noawait ldconfig$")
    if(ldconfig)
      set(GEN_CPACK_DEBIAN_GENERATE_POSTINST 0)
      set(GEN_CPACK_DEBIAN_GENERATE_POSTRM 0)
    endif()
  endif()
endforeach()
