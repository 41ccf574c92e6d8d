# Finds libudev (systemd). No CMake package is shipped for it.
#   Libudev::Libudev   imported target
find_path(Libudev_INCLUDE_DIR libudev.h)
find_library(Libudev_LIBRARY NAMES udev)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Libudev REQUIRED_VARS Libudev_LIBRARY Libudev_INCLUDE_DIR)
if(Libudev_FOUND AND NOT TARGET Libudev::Libudev)
  add_library(Libudev::Libudev UNKNOWN IMPORTED)
  set_target_properties(Libudev::Libudev PROPERTIES
    IMPORTED_LOCATION "${Libudev_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Libudev_INCLUDE_DIR}")
endif()
mark_as_advanced(Libudev_INCLUDE_DIR Libudev_LIBRARY)
