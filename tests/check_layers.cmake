# Fails if a source of the file or platform layers prints: output belongs to the run.
#   cmake -DSOURCE_DIR=<repository>/src -P check_layers.cmake
file(GLOB_RECURSE silent ${SOURCE_DIR}/fileio/* ${SOURCE_DIR}/os/*)
foreach(source IN LISTS silent)
  file(STRINGS ${source} lines REGEX "(printf|puts\\(|std::cout|std::cerr|stdout|stderr)")
  if(lines)
    message(SEND_ERROR "${source} prints: ${lines}")
  endif()
endforeach()
