# Run after linking a program that starts without a C library: its start-up
# sets up no thread-local storage, so the image must have none; and an
# image linked without RELRO must have no relocations, or relocated
# pointers would stay writable.
#   cmake -DIMAGE=... -DREADELF=... [-DNO_RELOCATIONS=ON] -P check-image.cmake
execute_process(COMMAND ${READELF} -lrW ${IMAGE} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${READELF} could not read ${IMAGE}")
endif()
if(listing MATCHES "\n  TLS ")
    message(FATAL_ERROR "${IMAGE} has thread-local storage, which its start-up does not provide")
endif()
if(NO_RELOCATIONS AND NOT listing MATCHES "There are no relocations in this file")
    message(FATAL_ERROR "${IMAGE} has relocations, but is linked without RELRO to protect them")
endif()
