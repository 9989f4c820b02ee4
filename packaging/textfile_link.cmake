# Run by cpack before it packs: node_exporter's text-file collector finds the service's metrics
# through a link to the file in the service's own directory.
get_filename_component(link_directory "${CPACK_QUORVANE_TEXTFILE_LINK}" DIRECTORY)
file(RELATIVE_PATH target "${link_directory}" /var/lib/quorvane/quorvane.prom)
foreach(staging IN LISTS CPACK_TEMPORARY_INSTALL_DIRECTORY)
  file(MAKE_DIRECTORY "${staging}${link_directory}")
  file(CREATE_LINK "${target}" "${staging}${CPACK_QUORVANE_TEXTFILE_LINK}" SYMBOLIC)
endforeach()
