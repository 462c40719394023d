# Installation into the freedesktop places, and the Debian package.
#
# Everything that ships is in the install component "application"; the package
# takes only that component, so a developer tool that grows an install() rule
# of its own still stays out of the .deb. tests/packaging checks the plain
# `cmake --install` tree as well.
include(GNUInstallDirs)

set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_gen ${PROJECT_BINARY_DIR}/packaging)
set(QUORVEL_PACKAGE_NAME quorvel-download-tool)
set(QUORVEL_APPSTREAM_ID example.quorvel.DownloadTool)

# The release date in the metadata follows SOURCE_DATE_EPOCH when it is set,
# so two builds of one commit give the same package.
string(TIMESTAMP QUORVEL_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP QUORVEL_COPYRIGHT_YEAR "%Y" UTC)
string(TIMESTAMP _changelogDate "%a, %d %b %Y %H:%M:%S +0000" UTC)

configure_file(${_pkg}/${QUORVEL_APPSTREAM_ID}.metainfo.xml.in
               ${_gen}/${QUORVEL_APPSTREAM_ID}.metainfo.xml @ONLY)
configure_file(${_pkg}/quorvel-download-tool.1.in ${_gen}/quorvel-download-tool.1 @ONLY)
configure_file(${_pkg}/quorvel-cli.1.in ${_gen}/quorvel-cli.1 @ONLY)
configure_file(${_pkg}/copyright.in ${_gen}/copyright @ONLY)
file(WRITE ${_gen}/changelog.in
    "${QUORVEL_PACKAGE_NAME} (${PROJECT_VERSION}) stable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- Quorvel Charts <support@quorvel.example>  ${_changelogDate}\n")
configure_file(${_gen}/changelog.in ${_gen}/changelog COPYONLY)

# Debian wants both compressed at the highest level, without a time stamp in
# the gzip header.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(_compressed)
foreach(_file quorvel-download-tool.1 quorvel-cli.1 changelog)
    add_custom_command(OUTPUT ${_gen}/${_file}.gz
        COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${_gen}/${_file} > ${_gen}/${_file}.gz
        DEPENDS ${_gen}/${_file}
        VERBATIM)
    list(APPEND _compressed ${_gen}/${_file}.gz)
endforeach()
add_custom_target(quorvel_packaging_docs ALL DEPENDS ${_compressed})

set(_component COMPONENT application)
install(TARGETS quorvel-download-tool quorvel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ${_component})
install(FILES ${_pkg}/quorvel-download-tool.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications ${_component})
install(FILES ${_gen}/${QUORVEL_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo ${_component})
foreach(_size 16 32 48 64 128 256)
    install(FILES ${_pkg}/icons/hicolor/${_size}x${_size}/apps/quorvel-download-tool.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps ${_component})
endforeach()
install(FILES ${_gen}/quorvel-download-tool.1.gz ${_gen}/quorvel-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 ${_component})
install(FILES ${_gen}/copyright ${_gen}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QUORVEL_PACKAGE_NAME} ${_component})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QUORVEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Quorvel Charts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put Quorvel chart products onto fishfinder SD cards")
set(CPACK_PACKAGE_DESCRIPTION
    "The Quorvel Download Tool puts the chart products bought on the Quorvel chart\n"
    "service onto the SD card of a Corvane fishfinder, and brings an updatable RQ\n"
    "chart card up to the latest chart data. It resumes partial downloads, keeps\n"
    "files that are already complete on the card, and checks them by SHA-1.\n"
    "quorvel-cli does the same from a terminal or a script, without a display.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "Quorvel Charts <support@quorvel.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};application;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries come from dpkg-shlibdeps. The platform plugins are loaded at
# run time, so nothing links them: without this the tool installs but cannot
# open a window on a minimal system. The keyring library loads the Secret
# Service library at run time too: without it no sign-in is remembered.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libsecret-1-0")
include(CPack)
