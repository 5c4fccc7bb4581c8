# Run by CPack after it made the zip: writes it anew from the same staged
# files, in name order and with UTC times, all set to the release's time
# (CPACK_WATCHDOG_EPOCH) where it is known. CPack's own zip follows the order
# in which the file system lists the staged files, and local time.
if(CPACK_WATCHDOG_EPOCH)
    set(ENV{SOURCE_DATE_EPOCH} ${CPACK_WATCHDOG_EPOCH})
endif()
set(ENV{TZ} UTC)
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE ${CPACK_TEMPORARY_DIRECTORY}
     ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT staged)
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
    file(REMOVE ${zip})
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip -- ${staged}
                    WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "could not write ${zip}: ${status}")
    endif()
endforeach()
