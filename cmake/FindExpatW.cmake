# Finds expat built with 16-bit (UTF-16) characters, which Debian ships as
# libexpatw. Expat's own CMake package only exports the 8-bit library.
#
# Defines the imported target ExpatW::ExpatW, which carries XML_UNICODE.

find_path(ExpatW_INCLUDE_DIR NAMES expat.h)
find_library(ExpatW_LIBRARY NAMES expatw libexpatw)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(ExpatW REQUIRED_VARS ExpatW_LIBRARY ExpatW_INCLUDE_DIR)

if(ExpatW_FOUND AND NOT TARGET ExpatW::ExpatW)
  add_library(ExpatW::ExpatW UNKNOWN IMPORTED)
  set_target_properties(ExpatW::ExpatW PROPERTIES
    IMPORTED_LOCATION "${ExpatW_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ExpatW_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "XML_UNICODE")
  if(ExpatW_LIBRARY MATCHES "\\.a$")
    set_property(TARGET ExpatW::ExpatW APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS "XML_STATIC")
  endif()
endif()
mark_as_advanced(ExpatW_INCLUDE_DIR ExpatW_LIBRARY)
