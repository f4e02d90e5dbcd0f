# SPDX-License-Identifier: MIT
# Runs in CPack between the install into the staging folder and the making of
# the Debian package, and finishes the tree as Debian's own tools would: the
# binaries stripped of symbols, .comment and .note, the manual pages
# compressed, and changelog.gz written from CHANGELOG.md. What it writes is
# reproducible: gzip -9n stores no name or time, and the newest entry is
# dated by SOURCE_DATE_EPOCH, or else by the last commit.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr")

file(GLOB binaries "${usr}/bin/*")
foreach(binary IN LISTS binaries)
    execute_process(COMMAND "${CPACK_LOADHOG_STRIP}" --remove-section=.comment --remove-section=.note
                            --strip-unneeded "${binary}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(GLOB pages "${usr}/share/man/man*/*")
foreach(page IN LISTS pages)
    execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

function(rfc2822 date out)
    execute_process(COMMAND date -u -R -d "${date}" OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git -C "${CPACK_LOADHOG_SOURCE_DIR}" log -1 --format=%ct OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT epoch)
        file(TIMESTAMP "${CPACK_LOADHOG_CHANGELOG}" epoch "%s" UTC)
    endif()
endif()
rfc2822("@${epoch}" release_date)

# Each "## [version] - date" section becomes an entry, the Unreleased one
# under the version being built; its "- " items become the entry's items.
file(READ "${CPACK_LOADHOG_CHANGELOG}" text)
string(REPLACE ";" "<semicolon>" text "${text}")
string(REPLACE "\n" ";" lines "${text}")
set(changelog "")
set(entry "")
foreach(line IN LISTS lines ITEMS "## [end]")
    if(line MATCHES "^## \\[([^]]+)\\]( - ([0-9-]+))?")
        if(entry)
            string(APPEND changelog "${entry}\n -- ${CPACK_PACKAGE_CONTACT}  ${date}\n\n")
        endif()
        if(CMAKE_MATCH_1 STREQUAL "Unreleased")
            set(version "${CPACK_PACKAGE_VERSION}")
            set(date "${release_date}")
        else()
            set(version "${CMAKE_MATCH_1}")
            rfc2822("${CMAKE_MATCH_3}" date)
        endif()
        set(entry "loadhog (${version}) unstable; urgency=medium\n\n")
    elseif(entry AND line MATCHES "^- (.*)")
        string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
    elseif(entry AND line MATCHES "^  ([^ ].*)")
        string(APPEND entry "    ${CMAKE_MATCH_1}\n")
    endif()
endforeach()
string(REPLACE "<semicolon>" ";" changelog "${changelog}")
string(STRIP "${changelog}" changelog)
file(WRITE "${usr}/share/doc/${CPACK_PACKAGE_NAME}/changelog" "${changelog}\n")
execute_process(COMMAND gzip -9nf "${usr}/share/doc/${CPACK_PACKAGE_NAME}/changelog" COMMAND_ERROR_IS_FATAL ANY)
