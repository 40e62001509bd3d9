# install.cmake - what `cmake --install` puts into the prefix: the image
# library (static and shared), its header, a pkg-config file, a CMake package
# with namespaced targets, the demo and tools, the demo's default maps, and
# the licence.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The shared library exports the public interface and nothing else.
add_library(image_shared SHARED $<TARGET_OBJECTS:image_objects>)
target_include_directories(image_shared PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src/image/include>)
target_link_libraries(image_shared PRIVATE PNG::PNG JPEG::JPEG)
target_link_options(image_shared PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/cmake/image.map)
set_target_properties(image_shared PROPERTIES
  OUTPUT_NAME caustic-image VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/image.map)
set_target_properties(image PROPERTIES OUTPUT_NAME caustic-image EXPORT_NAME image)
set_target_properties(image_shared PROPERTIES EXPORT_NAME image_shared)

set(CAUSTIC_INCLUDE_SUBDIR caustic)
foreach(lib image image_shared)
  target_include_directories(${lib} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${CAUSTIC_INCLUDE_SUBDIR}>)
endforeach()

install(TARGETS image image_shared EXPORT CausticImageTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES src/image/include/image.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${CAUSTIC_INCLUDE_SUBDIR})
install(EXPORT CausticImageTargets NAMESPACE CausticImage::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/CausticImage)
configure_package_config_file(cmake/CausticImageConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/CausticImageConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/CausticImage)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/CausticImageConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CausticImageConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/CausticImageConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/CausticImage)

string(REGEX REPLACE "[^/]+" ".." PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(cmake/caustic-image.pc.in ${CMAKE_CURRENT_BINARY_DIR}/caustic-image.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/caustic-image.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS caustic make_maps imagetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CAUSTIC_MAPS_DIR}/normal.png ${CAUSTIC_MAPS_DIR}/out.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/caustic)
if(TARGET render_frame)
  install(TARGETS render_frame RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/caustic-image)
