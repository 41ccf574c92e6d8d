# Finds hidapi's hidraw backend. Debian ships a pkg-config file but no CMake
# package, so look for the header and library directly.
#   Hidapi::hidraw   imported target
find_path(Hidapi_INCLUDE_DIR hidapi/hidapi.h)
find_library(Hidapi_LIBRARY NAMES hidapi-hidraw)
if(Hidapi_INCLUDE_DIR AND EXISTS "${Hidapi_INCLUDE_DIR}/hidapi/hidapi.h")
  file(STRINGS "${Hidapi_INCLUDE_DIR}/hidapi/hidapi.h" _hid_ver REGEX "#define HID_API_VERSION_(MAJOR|MINOR|PATCH) ")
  string(REGEX REPLACE ".*MAJOR ([0-9]+).*MINOR ([0-9]+).*PATCH ([0-9]+).*" "\\1.\\2.\\3" Hidapi_VERSION "${_hid_ver}")
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Hidapi
  REQUIRED_VARS Hidapi_LIBRARY Hidapi_INCLUDE_DIR
  VERSION_VAR Hidapi_VERSION)
if(Hidapi_FOUND AND NOT TARGET Hidapi::hidraw)
  add_library(Hidapi::hidraw UNKNOWN IMPORTED)
  set_target_properties(Hidapi::hidraw PROPERTIES
    IMPORTED_LOCATION "${Hidapi_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Hidapi_INCLUDE_DIR}")
endif()
mark_as_advanced(Hidapi_INCLUDE_DIR Hidapi_LIBRARY)
