# What `cmake --install` puts beside the programs, and the packages made from it (./run.sh package):
#   Linux: pellmar-cli_<version>_<arch>.deb (the command-line program: component cli) and
#          pellmar_<version>_<arch>.deb (the desktop program: component desktop), by CPack's DEB generator;
#   Windows (the cross build): pellmar-cli-<version>-windows-x64.zip.
# The programs' folders install their own files (cli/, ui/); this file adds what every package carries.
include(GNUInstallDirs)

set(PELLMAR_MAINTAINER "The Pellmar developers <developers@pellmar.org>")
set(PELLMAR_HOMEPAGE "https://pellmar.org/")

# The release notes name the project's version: a version raised without a note for it stops here.
function(pellmar_check_release_note file pattern)
    file(STRINGS ${file} lines REGEX "${pattern}" LIMIT_COUNT 1)
    string(REGEX REPLACE ".*${pattern}.*" "\\1" noted "${lines}")
    if(NOT noted STREQUAL PROJECT_VERSION)
        message(FATAL_ERROR "The newest release in ${file} is '${noted}', the project's version is "
                            "${PROJECT_VERSION}: add a release note for ${PROJECT_VERSION} there.")
    endif()
endfunction()
pellmar_check_release_note(${PROJECT_SOURCE_DIR}/packaging/changelog "^pellmar \\(([^)]*)\\)")
pellmar_check_release_note(${PROJECT_SOURCE_DIR}/ui/pellmar.metainfo.xml "<release version=\"([^\"]*)\"")

set(CPACK_PACKAGE_NAME pellmar)
set(CPACK_PACKAGE_VENDOR "The Pellmar developers")
set(CPACK_PACKAGE_CONTACT ${PELLMAR_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL ${PELLMAR_HOMEPAGE})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # The command-line program alone (the desktop program needs Qt, which the cross build has not): a
    # static executable that needs no DLL beside it, with the README and the licence.
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT cli)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT cli)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_COMPONENTS_ALL cli)
    set(CPACK_PACKAGE_FILE_NAME pellmar-cli-${PROJECT_VERSION}-windows-x64)
    include(CPack)
    return()
endif()

# Each Debian package has its copyright and its changelog in its own documentation folder.
find_program(PELLMAR_GZIP gzip REQUIRED)
set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
    COMMAND ${PELLMAR_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(pellmar_changelog ALL DEPENDS ${changelog})
set(components "")
set(packages "")
if(PELLMAR_CLI)
    list(APPEND components cli)
    list(APPEND packages pellmar-cli)
endif()
if(PELLMAR_DESKTOP)
    list(APPEND components desktop)
    list(APPEND packages pellmar)
endif()
foreach(component package IN ZIP_LISTS components packages)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PELLMAR_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PELLMAR_HOMEPAGE})
# The libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME pellmar-cli)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME pellmar)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS pellmar-cli)
# Debian's descriptions: a synopsis line, then lines of at most 79 characters.
set(about_packages "every place where a video states its aspect ratio, and
rewrites them in place: in the bitstream (the sequence parameter sets of H.264
and HEVC, the sequence headers of MPEG-1 and MPEG-2 video, the video object
layers of MPEG-4 Part 2) and in the container (AVI, MP4 and MOV, Matroska and
WebM, MPEG transport and program streams). No byte is inserted or removed and
nothing is re-encoded, so that every player and TV shows the picture in the
same shape.
.")
set(CPACK_DEBIAN_CLI_DESCRIPTION "fix the aspect ratio of video in place (command-line program)
pellmar-cli lists ${about_packages}
This package holds the command-line program, for scripts and batch work.")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "fix the aspect ratio of video in place (desktop program)
Pellmar lists ${about_packages}
This package holds the desktop program, with a preview of the picture.")
include(CPack)
