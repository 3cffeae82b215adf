# Run by cpack between the install and the packing: folders get mode 755,
# whatever the umask, so that the packages do not depend on it.
file(GLOB_RECURSE p5_entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(p5_entry IN LISTS p5_entries)
    if(IS_DIRECTORY "${p5_entry}" AND NOT IS_SYMLINK "${p5_entry}")
        file(CHMOD "${p5_entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
