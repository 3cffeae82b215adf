# Run by cpack for the Debian package alone: lintian's overrides belong to
# that format only.
file(INSTALL "${CPACK_P5_SOURCE_DIR}/packaging/lintian-overrides"
     DESTINATION "${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides" RENAME patch500)
