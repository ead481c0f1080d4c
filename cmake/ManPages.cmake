# Man pages made by help2man from a program's own --help and --version, so that a page says what the
# program says (its options and exit statuses among it); an include file adds what the help has not.
include(GNUInstallDirs)
find_program(PELLMAR_HELP2MAN help2man)
find_program(PELLMAR_GZIP gzip)
if(NOT PELLMAR_HELP2MAN OR NOT PELLMAR_GZIP)
    message(STATUS "No man pages: they need help2man and gzip")
endif()

# pellmar_add_man_page(<program target> <one-line description> <include file> <install component>)
function(pellmar_add_man_page target description include component)
    if(NOT PELLMAR_HELP2MAN OR NOT PELLMAR_GZIP OR CMAKE_CROSSCOMPILING)
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
    add_custom_command(OUTPUT ${page}.gz
        # The name is the program's file name (its --version names the product).
        COMMAND ${PELLMAR_HELP2MAN} --no-info --section=1 --name=${description} --include=${include}
            --version-string=${PROJECT_VERSION} --source=Pellmar
            --output=${page} $<TARGET_FILE:${target}>
        COMMAND ${PELLMAR_GZIP} -9nf ${page}
        DEPENDS ${target} ${include}
        COMMENT "Man page ${target}(1)"
        VERBATIM)
    add_custom_target(${target}_man_page ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
