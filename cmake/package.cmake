# package.cmake - `cpack -G DEB` in the build folder makes one Debian package,
# caustic, of everything `cmake --install` installs, under /usr: the library
# (static and shared), its headers, pkg-config file and CMake package, the
# demo and its default maps, the tools, the manual pages, the licence as
# copyright and the changelog.
set(CAUSTIC_PACKAGE_MAINTAINER "Caustic demo authors <caustic-demo@example.org>" CACHE STRING
  "Maintainer of the Debian package, as \"Name <address>\"")

set(CPACK_PACKAGE_NAME caustic)
set(CPACK_PACKAGE_VENDOR "the Caustic demo authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A packaging revision: the package is built from the upstream sources, so
# its changelog.gz is the project's and changelog.Debian.gz the package's.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CAUSTIC_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Interactive caustic light demo, and its PNG, JPEG and TGA reader")
# CPack puts the summary first.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
The demo, caustic, is an SDL 1.2 program: a ray of light, dragged with the
mouse, falls through a water surface's offset map onto a specular light map.
.
The image library it reads its maps with, libcaustic-image, reads PNG, JFIF
JPEG and TGA files into one 32-bit pixel format and writes TGA. Its headers,
pkg-config file and CMake package are here too, and the tools imagetool,
caustic-make-maps and caustic-render-frame.")
# The run-time libraries from what the programs and the shared library link
# (dpkg-shlibdeps); the development files need libpng's and libjpeg's: the
# static library links them, the CMake package finds them, the pkg-config
# file names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpng-dev, libjpeg-dev")
# Programs linked with libcaustic-image.so.1 need this package at this
# version or later; dpkg runs ldconfig once the library is in place.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)

# changelog.Debian.gz goes into the package only: a plain install has no use
# for it. CPack runs the script while it stages the files.
string(TIMESTAMP CAUSTIC_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(cmake/changelog.Debian.in ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian @ONLY)
configure_file(cmake/package_changelog.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/package_changelog.cmake @ONLY)
set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/package_changelog.cmake)

include(CPack)
