# Libraries the subcommands use; each subsystem that adds a subcommand adds its line.
foreach(lib quimbel_music quimbel_screen quimbel_export Qt6::Gui)
  if(TARGET ${lib})
    target_link_libraries(quimbel_cli PUBLIC ${lib})
  endif()
endforeach()
