# kiv_man_page(SOURCE): turns an scdoc page (NAME.SECTION.scd) into the man
# page NAME.SECTION at build time and installs it under man/manSECTION.
# Without scdoc the pages are left out, said once when configuring, so that
# a machine without it still builds everything else.
find_program(KIV_SCDOC scdoc)
if(NOT KIV_SCDOC)
  message(NOTICE "scdoc not found: the man pages are not built (scripts/install-deps installs it)")
endif()

function(kiv_man_page source)
  if(NOT KIV_SCDOC)
    return()
  endif()
  get_filename_component(page ${source} NAME_WLE)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(output ${CMAKE_BINARY_DIR}/man/${page})
  # scdoc reads standard input and writes standard output only.
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${KIV_SCDOC} ${source} ${output}
    DEPENDS ${source}
    COMMENT "Writing the man page ${page}" VERBATIM)
  add_custom_target(man_${page} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT programs)
endfunction()
