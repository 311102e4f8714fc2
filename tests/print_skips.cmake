# Prints why each test of the last run was skipped: the tests leave one file
# each in DIR.
file(GLOB reasons "${DIR}/*.txt")
list(SORT reasons)
if(reasons)
  message("Skipped tests, and why:")
endif()
foreach(file IN LISTS reasons)
  file(READ ${file} reason)
  string(STRIP "${reason}" reason)
  message("  ${reason}")
endforeach()
