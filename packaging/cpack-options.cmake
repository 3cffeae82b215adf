# Read by cpack for each generator.

if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_INSTALL_SCRIPTS "${CPACK_P5_SOURCE_DIR}/packaging/install-deb.cmake")
endif()
