# `cmake --install` lays the program out as the desktop expects it under any
# prefix: the program in bin/, its data folder (piano, font, icon) in
# share/quimbel beside it, where the program looks for it, and the desktop
# entry, AppStream data, theme icons and manual page where menus, software
# centres and man find them.
#
# Two components split it the way the Debian packages do (cmake/Packaging.cmake):
# "program" (the default component, so a room's own install rules land there
# too) and "data", the data folder, which is the same on every architecture.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS quimbel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(DIRECTORY ${QUIMBEL_DATA_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quimbel
  COMPONENT data PATTERN ".converted" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/data/app.quimbel.Quimbel.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/data/app.quimbel.Quimbel.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT program)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons
  COMPONENT program)

# The manual page and the changelog are installed compressed, reproducibly
# (no name or time stamp in the gzip header), as Debian wants them.
find_program(QUIMBEL_GZIP gzip REQUIRED)
function(quimbel_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${QUIMBEL_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}")
endfunction()
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_out})
quimbel_gzip(${PROJECT_SOURCE_DIR}/data/quimbel.1 ${packaging_out}/quimbel.1.gz)
quimbel_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${packaging_out}/changelog.gz)
add_custom_target(quimbel_packaging_docs ALL
  DEPENDS ${packaging_out}/quimbel.1.gz ${packaging_out}/changelog.gz)
install(FILES ${packaging_out}/quimbel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT program)
# The example takes, for `quimbel render` to start from (the manual points here).
file(GLOB example_takes CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.json)
install(FILES ${example_takes} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quimbel/examples
  COMPONENT program)

# What only a Debian package carries: each package's copyright and changelog
# in its documentation folder and its lintian overrides. A plain
# `cmake --install` leaves them out; cpack asks for each component by name.
foreach(package_component quimbel:program quimbel-data:data)
  string(REPLACE ":" ";" pair ${package_component})
  list(GET pair 0 package)
  list(GET pair 1 component)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${packaging_out}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/lintian/${package})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian/${package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()
