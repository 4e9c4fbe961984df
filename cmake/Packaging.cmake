# `cpack` turns the install rules into two Debian packages (scripts/package
# runs it from a hardened release build):
#   quimbel       the program and everything installed with it: the desktop
#                 entry, AppStream data, theme icons, manual page, and whatever
#                 a room installs in the default component (plug-ins too);
#   quimbel-data  the data folder (converted piano, font, their licences and
#                 the icon the program draws with), the same on every
#                 architecture, so it is built once as an "all" package.
# Every install component belongs to one of two groups, and each group is one
# package: "data" to quimbel-data, any other to quimbel.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quimbel)
set(CPACK_PACKAGE_VENDOR Quimbel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quimbel authors <support@quimbel.app>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://quimbel.app)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_QUIMBEL_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStrip.cmake)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
get_cmake_property(quimbel_components COMPONENTS)
set(CPACK_COMPONENTS_ALL ${quimbel_components})

# <name>_<version>_<architecture>.deb, the name Debian's tools give them.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# xz as dpkg-deb itself compresses: the data package is a third smaller than
# with gzip, for some 45 s of compression, spread over every core.
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_THREADS 0)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_QUIMBEL_PACKAGE_NAME quimbel)
# The libraries it links, as dpkg-shlibdeps finds them, and its own data at
# exactly this version; xdg-utils opens links and hands crash reports to the
# mail program, which the program does without when it is missing.
set(CPACK_DEBIAN_QUIMBEL_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_QUIMBEL_PACKAGE_DEPENDS "quimbel-data (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_QUIMBEL_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_QUIMBEL_DESCRIPTION "small chord instrument in the system tray
Quimbel lives in the desktop's system tray. Click it and a floating panel
opens with seven pads, each playing one chord of the key you are in, voiced
so that the chords flow smoothly into one another. Play them with the number
keys, the mouse or any MIDI keyboard; hold Tab for sevenths, Shift for ninths
and Space to strum, and turn the knob for other inversions.

A sampled grand piano with a warm room reverb sounds the chords, and a little
pixel screen shows the notes and the chord's name. Record a take with a
count-in, let Quimbel tidy its timing, loop it, and take it with you as a MIDI
file, a WAV file or a portrait video.

The quimbel command also prints a key's chords, exports takes described as
JSON and draws the pixel screen, from the shell.")

set(CPACK_DEBIAN_QUIMBELDATA_PACKAGE_NAME quimbel-data)
set(CPACK_DEBIAN_QUIMBELDATA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_QUIMBELDATA_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_QUIMBELDATA_DESCRIPTION "piano and font for the Quimbel chord instrument
The sampled grand piano (Salamander Grand Piano V3, converted to one file per
sampled note) and the panel's font (Uncut Sans) that the Quimbel chord
instrument plays and draws with, with their licences.

This package is of use only with the quimbel package.")

# CPack writes its configuration from the variables above; the components and
# groups are added to it after.
include(CPack)
cpack_add_component_group(quimbel)
cpack_add_component_group(quimbeldata)
foreach(component IN LISTS quimbel_components)
  if(component STREQUAL "data")
    cpack_add_component(${component} GROUP quimbeldata)
  else()
    cpack_add_component(${component} GROUP quimbel)
  endif()
endforeach()
