# How tests are built and registered with CTest. Every test carries one of
# two labels:
#   unit  runs in its own process only; these run side by side
#         (ctest -L unit -j2)
#   e2e   starts the real programs on the simulated board and reads the
#         board's trace against the clock; these run one at a time
#         (ctest -LE unit), so that they do not slow each other down

# qor_test(<unit|e2e> <test name> <source>... [LIBRARIES <library>...]
#          [PROGRAMS <MACRO>=<target>...])
# Builds an executable named after the first source and registers it. An e2e
# test links the test kit; each program it starts is built before it and its
# path reaches the test as a string macro, e.g. RELAY_DRIVER=qor-driver-relay.
function(qor_test label name)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "LIBRARIES;PROGRAMS")
  if(NOT label MATCHES "^(unit|e2e)$")
    message(FATAL_ERROR "qor_test(${label} ${name}): the label is unit or e2e")
  endif()
  set(sources ${arg_UNPARSED_ARGUMENTS})
  list(GET sources 0 first)
  get_filename_component(executable ${first} NAME_WE)
  add_executable(${executable} ${sources})
  target_link_libraries(${executable} PRIVATE ${arg_LIBRARIES})
  if(label STREQUAL "e2e")
    target_link_libraries(${executable} PRIVATE qor-testkit)
  endif()
  foreach(program IN LISTS arg_PROGRAMS)
    if(NOT program MATCHES "^([A-Z_]+)=(.+)$")
      message(FATAL_ERROR "qor_test(${label} ${name}): '${program}' is not <MACRO>=<target>")
    endif()
    target_compile_definitions(${executable} PRIVATE
      ${CMAKE_MATCH_1}="$<TARGET_FILE:${CMAKE_MATCH_2}>")
    add_dependencies(${executable} ${CMAKE_MATCH_2})
  endforeach()
  add_test(NAME ${name} COMMAND ${executable})
  set_tests_properties(${name} PROPERTIES LABELS ${label})
endfunction()
