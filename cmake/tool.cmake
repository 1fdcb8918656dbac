# tool_program(<name> LIBRARIES <libraries...>): the command-line tool <name>
# from <name>/<name>.cpp, and <name>_testable, the same source without its
# entry point (<NAME>_NO_MAIN defined) for unit tests of its free functions,
# with <name>.h on their include path. Both link the libraries given.
include_guard(GLOBAL)

function(tool_program name)
  cmake_parse_arguments(PARSE_ARGV 1 tool "" "" LIBRARIES)
  string(TOUPPER ${name} upper)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE ${tool_LIBRARIES})
  add_library(${name}_testable STATIC ${name}.cpp)
  target_compile_definitions(${name}_testable PUBLIC ${upper}_NO_MAIN)
  target_include_directories(${name}_testable PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name}_testable PUBLIC ${tool_LIBRARIES})
endfunction()
