# Read by cpack for each generator. Package dates come from
# SOURCE_DATE_EPOCH, by default the time of the last commit, so that the
# same commit packs to the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C "${CPACK_P5_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE p5_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE p5_git_failed ERROR_QUIET)
    if(p5_git_failed EQUAL 0 AND p5_epoch MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} "${p5_epoch}")
    endif()
endif()

set(CPACK_PRE_BUILD_SCRIPTS "${CPACK_P5_SOURCE_DIR}/packaging/pre-build.cmake")

if(CPACK_GENERATOR STREQUAL "RPM")
    # rpmbuild: build time from SOURCE_DATE_EPOCH, no file newer than it,
    # and no build host name.
    set(CPACK_RPM_SPEC_MORE_DEFINE "%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible")
endif()

if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_INSTALL_SCRIPTS "${CPACK_P5_SOURCE_DIR}/packaging/install-deb.cmake")
endif()

# A zip stores local times; UTC makes them the same in every time zone.
set(ENV{TZ} UTC)
