# Install rules and the Debian package: `cpack -G DEB` in the build folder.
include(GNUInstallDirs)

set(LQS_APP_ID io.github.lqscontrol.LqsControl)
set(LQS_HOMEPAGE "https://github.com/lqscontrol/lqs-control" CACHE STRING "Project home page")
set(LQS_SCREENSHOT_BASE "https://raw.githubusercontent.com/lqscontrol/lqs-control/main/docs"
    CACHE STRING "Where software centres fetch the screenshots named in the metainfo")
set(LQS_PACKAGE_NAME lqs-control)
set(LQS_VENDOR "The LQS Control developers")

# The release date of the metainfo, so that a release edits only project(VERSION):
# SOURCE_DATE_EPOCH's day when the builder sets it, else the last commit's in a
# git checkout, else today's.
unset(LQS_RELEASE_DATE)
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  find_package(Git QUIET)
  if(Git_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cd --date=short
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE LQS_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    # A new commit configures again, so the date follows it.
    if(EXISTS ${PROJECT_SOURCE_DIR}/.git/logs/HEAD)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   ${PROJECT_SOURCE_DIR}/.git/logs/HEAD)
    endif()
  endif()
endif()
if(NOT LQS_RELEASE_DATE MATCHES "^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
  # Honours SOURCE_DATE_EPOCH.
  string(TIMESTAMP LQS_RELEASE_DATE "%Y-%m-%d" UTC)
endif()

# Packages are built by a umask we do not control; directories get the usual modes.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(${PROJECT_SOURCE_DIR}/packaging/${LQS_APP_ID}.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/packaging/${LQS_APP_ID}.metainfo.xml @ONLY)
# No licence file is in the sources: the copyright file says so rather than name one.
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in
               ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)

install(TARGETS lqs-control lqs-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${LQS_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${LQS_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_BINARY_DIR}/packaging/${LQS_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Debian's place, named after the package rather than the project.
install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${LQS_PACKAGE_NAME})

set(CPACK_PACKAGE_NAME ${LQS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${LQS_VENDOR}")
# The Maintainer field of the package; set it for a published release.
set(LQS_PACKAGE_CONTACT "The LQS Control developers <maintainers@lqs-control.invalid>"
    CACHE STRING "Package maintainer, \"Name <address>\"")
set(CPACK_PACKAGE_CONTACT "${LQS_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control program for LQS two-channel bench power supplies")
set(CPACK_PACKAGE_DESCRIPTION
    "Links to an LQS-6200A, LQS-6200B or LQS-6500B programmable linear DC
power supply over a serial line or a USB serial adapter: set the limits,
switch the outputs and the channel coupling, use the memory slots, watch
live readings, and record, plot, save and export measurements. Includes
lqs-sim, a simulated instrument on a pseudo-terminal.")
set(CPACK_PACKAGE_HOMEPAGE_URL ${LQS_HOMEPAGE})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps. The X11 platform plugin is only a
# Recommends of libqt6gui6, and without it the program cannot open a window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The instrument's notices are partly in Chinese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")

set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-checks.cmake)

include(CPack)
