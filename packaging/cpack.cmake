# SPDX-License-Identifier: MIT
# Debian packages, one per install component, made by `cpack -G DEB` in the build directory:
#   libvantorpi1      runtime  the library and the udev rules
#   libvantorpi-dev   dev      header, pkg-config file, CMake package, vantorpi(3)
#   vantorpi-tools    tools    lscam, lscam(1)
#   python3-vantorpi  python   the Python package, when the build installs one
#   gstreamer1.0-vantorpi  gst  the GStreamer plugin, when the build makes it
# Included at the end of the top-level CMakeLists.txt, after every install rule, because only the
# components declared by then are packaged. Configure with -DCMAKE_INSTALL_PREFIX=/usr for the
# Debian layout (the library in /usr/lib/<multiarch>, lscam without a search path); other
# prefixes work, with the library in /usr/lib.

get_cmake_property(vantorpi_components COMPONENTS)
set(CPACK_COMPONENTS_ALL "")
foreach(component runtime dev tools python gst)
  if(component IN_LIST vantorpi_components)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_PACKAGE_NAME vantorpi)
set(CPACK_PACKAGE_VENDOR "vantorpi")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Maintainer field names who made the packages. Users build their own with scripts/install, so
# Debian's convention applies: DEBFULLNAME and DEBEMAIL of the builder when set. Otherwise the
# project, which takes bug reports in its repository's issue tracker (README.md) and has no mail
# address: the reserved .invalid domain says so.
set(vantorpi_contact "vantorpi project - bugs to the issue tracker of its repository <no-mail@vantorpi.invalid>")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(vantorpi_contact "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
endif()
set(VANTORPI_PACKAGE_CONTACT "${vantorpi_contact}" CACHE STRING "Maintainer of the Debian packages: Name <address>")
set(CPACK_PACKAGE_CONTACT "${VANTORPI_PACKAGE_CONTACT}")
if(VANTORPI_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VANTORPI_HOMEPAGE}")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

# The architecture of the binaries, also in a cross build: dpkg's name of the target triplet.
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE vantorpi_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(NOT failed AND vantorpi_deb_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${vantorpi_deb_arch})
  endif()
endif()

# Dependencies on system libraries come from dpkg-shlibdeps of the release that builds them (Qt Core
# is libqt5core5a on Debian 12 and libqt5core5t64 on 13); between our packages from the component dependencies, with the exact
# version. lscam's libvantorpi.so.1 is found in the build directory.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvantorpi1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "driver library for the USB line-scan camera
The shared library libvantorpi.so.1 finds the attached line-scan cameras,
reads their sensor data as a continuous byte stream and controls the camera
board through a plain C interface. The package also installs the udev rules
that let the group ${VANTORPI_UDEV_GROUP} and the user of a local desktop
session open the camera.")
# The maintainer scripts apply the udev rules to a camera plugged in before the installation.
get_directory_property(VANTORPI_UDEV_VID DIRECTORY ${CMAKE_CURRENT_LIST_DIR} DEFINITION VANTORPI_UDEV_VID)
get_directory_property(VANTORPI_UDEV_PID DIRECTORY ${CMAKE_CURRENT_LIST_DIR} DEFINITION VANTORPI_UDEV_PID)
set(vantorpi_deb_dir ${PROJECT_BINARY_DIR}/packaging/deb)
foreach(script postinst postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/${script}.in ${vantorpi_deb_dir}/${script} @ONLY)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/triggers ${vantorpi_deb_dir}/triggers COPYONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${vantorpi_deb_dir}/postinst ${vantorpi_deb_dir}/postrm ${vantorpi_deb_dir}/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvantorpi-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
# vantorpi.pc names libusb-1.0 and Qt5Core in Requires.private, which pkg-config reads too.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libusb-1.0-0-dev, qtbase5-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "driver library for the USB line-scan camera - development files
The header vantorpi.h, the pkg-config file vantorpi.pc, the CMake package
(find_package(vantorpi) gives vantorpi::vantorpi) and the manual page
vantorpi(3) for building programs with libvantorpi.so.1.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vantorpi-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool for the USB line-scan camera
lscam lists the attached line-scan cameras, shows and changes their settings,
reads their stream into a file or a PNG image and programs the second
processor's flash; lscam doctor finds out why a camera cannot be used and
which command fixes it.")

if(python IN_LIST CPACK_COMPONENTS_ALL)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vantorpi)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  if(NOT DEFINED CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  endif()
  if(NOT DEFINED CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
  endif()
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "USB line-scan camera from Python
The Python package vantorpi over libvantorpi.so.1: lists the cameras, opens
one by serial number and reads its lines as numpy arrays; errors are
exceptions that carry the library's result code.")
endif()

if(gst IN_LIST CPACK_COMPONENTS_ALL)
  set(CPACK_DEBIAN_GST_PACKAGE_NAME gstreamer1.0-vantorpi)
  set(CPACK_DEBIAN_GST_PACKAGE_SECTION video)
  set(CPACK_COMPONENT_GST_DEPENDS runtime)
  set(CPACK_DEBIAN_GST_DESCRIPTION "GStreamer source element for the USB line-scan camera
The GStreamer 1.x plugin vantorpi with the live source vantorpisrc: the
camera's lines as 16-bit (or 8-bit) grayscale frames in any pipeline, for
viewing, recording, streaming over the network or reading into Python
through appsink, with the camera's settings as element properties.")
endif()

# Each package's changelog.Debian.gz and copyright (the MIT licence, in Debian's machine-readable
# form), as Debian wants them; installed only by the component installs that CPack makes, not by a
# plain `cmake --install`.
string(TIMESTAMP vantorpi_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  file(WRITE ${vantorpi_deb_dir}/${package}/changelog.Debian
    "${package} (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
    "  * vantorpi ${PROJECT_VERSION}, packaged with CPack.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${vantorpi_deb_date}\n")
  execute_process(COMMAND gzip -9 -n -f ${vantorpi_deb_dir}/${package}/changelog.Debian)
  install(FILES ${vantorpi_deb_dir}/${package}/changelog.Debian.gz ${CMAKE_CURRENT_LIST_DIR}/deb/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)

# The package test: cpack, then fields, dependencies and contents, and lscam run from the unpacked
# packages. Release builds only: a sanitizer's or a debug build is not what gets packaged.
find_program(VANTORPI_DPKG_DEB dpkg-deb)
if(VANTORPI_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND VANTORPI_DPKG_DEB AND CMAKE_BUILD_TYPE STREQUAL "Release"
   AND NOT VANTORPI_SANITIZE AND NOT VANTORPI_FUZZ AND VANTORPI_BUILD_TOOLS)
  add_test(NAME packaging.deb
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/test/deb-test.sh ${PROJECT_BINARY_DIR} $<TARGET_FILE_DIR:simusb>
      ${PROJECT_VERSION})
  set_tests_properties(packaging.deb PROPERTIES TIMEOUT 300)
endif()
