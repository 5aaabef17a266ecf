# Compressed documentation: the manual pages and the packages' changelog.

# Compressed as Debian ships them: maximum compression, no name or time
# stamp in the header, so that the same input gives the same bytes.
function(qor_gzip input output)
  get_filename_component(dir ${output} DIRECTORY)
  get_filename_component(name ${output} NAME)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${input} ${output}
    DEPENDS ${input}
    COMMENT "Compressing ${name}"
    VERBATIM)
endfunction()

# qor_man_page(<name>.<section>.in <component>): the page with the version
# filled in (@PROJECT_VERSION@), compressed, installed into man<section> with
# that install component.
function(qor_man_page template component)
  get_filename_component(page ${template} NAME_WLE)
  if(NOT page MATCHES "\\.([1-9])$")
    message(FATAL_ERROR "${template}: not named <name>.<section>.in")
  endif()
  set(section ${CMAKE_MATCH_1})
  set(filled ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${template} ${filled} @ONLY)
  qor_gzip(${filled} ${filled}.gz)
  add_custom_target(man-${page} ALL DEPENDS ${filled}.gz)
  install(FILES ${filled}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
