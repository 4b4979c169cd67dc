# Read by cpack for each package it makes. The ZIP opens to one folder named like the
# product; the installer lays the tree out in the folder the user chose.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
