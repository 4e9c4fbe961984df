# `cmake --install` lays the program out as the desktop expects it under any
# prefix: the program in bin/, its data folder (piano, font, icon) in
# share/quimbel beside it, where the program looks for it, and the desktop
# entry, AppStream data and theme icons where menus and software centres do.
include(GNUInstallDirs)
install(TARGETS quimbel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${QUIMBEL_DATA_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quimbel
  PATTERN ".converted" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/data/app.quimbel.Quimbel.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/app.quimbel.Quimbel.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
