# The Debian package (cpack -G DEB in the build folder): the install tree under /usr, with the
# documents Debian asks of every package. Its dependencies are Debian 12 package names: the
# libraries the program links come from dpkg-shlibdeps, the rest it loads at run time.
set(HOPLIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/hoplin-desktop)
set(HOPLIN_MAINTAINER "Hoplin <maintainers@hoplin.example>")
string(TIMESTAMP HOPLIN_CHANGELOG_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package/changelog)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/copyright DESTINATION ${HOPLIN_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hoplin-desktop)
set(CPACK_PACKAGE_VENDOR Hoplin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${HOPLIN_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://hoplin.example")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Loaded at run time, so invisible to dpkg-shlibdeps: the web engine's helper process, the SVG
# icon plugins and the Secret Service library the keyring code opens.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin (>= 6.4), libqt6svg6, libsecret-1-0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, gnome-keyring | kwalletmanager, qt6-wayland")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of the Hoplin audio and video service")
set(CPACK_PACKAGE_DESCRIPTION "Sign in with a client key and work in four tabs: Correction and Cinema show
the service's own pages, Convert runs the service's conversion scripts on
local files with FFmpeg, and Analysis measures audio loudness per EBU R128.")
include(CPack)
