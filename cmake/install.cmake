# install.cmake - what `cmake --install` puts into the prefix: the image
# library (static and shared), its headers, a pkg-config file, a CMake package
# with namespaced targets, the demo and tools, the demo's default maps, the
# manual pages, the licence and the changelog. cmake/package.cmake makes a
# Debian package of the same.
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

# The headers go into include/caustic: <caustic/image.h> names the library
# beside others' image.h; <image.h> still works, for the programs that
# include it so.
set(CAUSTIC_INCLUDE_SUBDIR caustic)
foreach(lib image image_shared)
  target_include_directories(${lib} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${CAUSTIC_INCLUDE_SUBDIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS image image_shared EXPORT CausticImageTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES src/image/include/image.h ${CAUSTIC_GENERATED_INCLUDE}/caustic/image_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${CAUSTIC_INCLUDE_SUBDIR})
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

install(TARGETS caustic caustic-make-maps caustic-render-frame imagetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CAUSTIC_MAPS_DIR}/normal.png ${CAUSTIC_MAPS_DIR}/out.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/caustic)

# Manual pages, with the project's version, compressed as Debian ships them
# (man reads them so anywhere).
set(CAUSTIC_MAN_PAGES caustic.1 imagetool.1 caustic-make-maps.1 caustic-render-frame.1 caustic-image.3)
set(man_gz "")
foreach(page ${CAUSTIC_MAN_PAGES})
  configure_file(man/${page} ${CMAKE_CURRENT_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz
    COMMAND gzip -9nkf ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page} VERBATIM)
  string(REGEX REPLACE ".*[.]" "" section ${page})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND man_gz ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_gz})

# The licence and the changelog, under the names Debian gives them.
set(CAUSTIC_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/caustic)
configure_file(CHANGELOG.md ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog COPYONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog VERBATIM)
add_custom_target(changelog_gz ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
install(FILES LICENSE DESTINATION ${CAUSTIC_DOC_DIR} RENAME copyright)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz DESTINATION ${CAUSTIC_DOC_DIR})

include(cmake/package.cmake)
