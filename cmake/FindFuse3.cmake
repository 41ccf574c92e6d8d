# Finds libfuse 3, used only by the emulated adapter in tools/.
#   Fuse3::Fuse3   imported target
find_path(Fuse3_INCLUDE_DIR fuse3/fuse_lowlevel.h)
find_library(Fuse3_LIBRARY NAMES fuse3)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Fuse3 REQUIRED_VARS Fuse3_LIBRARY Fuse3_INCLUDE_DIR)
if(Fuse3_FOUND AND NOT TARGET Fuse3::Fuse3)
  add_library(Fuse3::Fuse3 UNKNOWN IMPORTED)
  set_target_properties(Fuse3::Fuse3 PROPERTIES
    IMPORTED_LOCATION "${Fuse3_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Fuse3_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "FUSE_USE_VERSION=35")
endif()
mark_as_advanced(Fuse3_INCLUDE_DIR Fuse3_LIBRARY)
