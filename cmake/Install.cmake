# Install rules: the user agent library with its headers, a CMake package
# (find_package(Quorvelle) gives Quorvelle::ua) and a pkg-config file
# (quorvelle.pc), plus the console tools (their own folders install them).
include(CMakePackageConfigHelpers)

set(QV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvelle)

# Consumers link Quorvelle::ua; its private dependencies come along as
# Quorvelle::deps, which the package config rebuilds from the system's
# pkg-config files.
# The component's library needs the layers below it, which are installed as
# libraries of their own (libquorvelle_engine.a ...).
set_target_properties(qv_deps PROPERTIES EXPORT_NAME deps)
install(TARGETS quorvelle_ua qv_engine qv_dialogs qv_media qv_sip qv_platform qv_deps
  EXPORT QuorvelleTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvelle)

# Only what an embedder includes: the component and the headers it pulls in,
# plus the audio backend choice. docs/embedding.md lists the same files, and
# the install test holds the two together. Headers keep their folders, so that
# "component/sipclient.h" and the includes inside it resolve against
# include/quorvelle.
set(QV_PUBLIC_HEADERS
  component/sipclient.h
  sip/sipints.h
  platform/interface.h
  platform/messagequeue.h
  platform/errors.h
  platform/audiodevice.h)
foreach(header ${QV_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvelle/${dir})
endforeach()

install(EXPORT QuorvelleTargets NAMESPACE Quorvelle:: DESTINATION ${QV_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorvelleConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuorvelleConfig.cmake
  INSTALL_DESTINATION ${QV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvelleConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvelleConfig.cmake ${PROJECT_BINARY_DIR}/QuorvelleConfigVersion.cmake
  DESTINATION ${QV_CMAKE_DIR})

# The prefix is found from where the .pc file lies, so that an installed
# tree may be moved (or installed with --prefix) and still be found right.
file(RELATIVE_PATH QV_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QV_PC_TO_PREFIX "${QV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvelle.pc.in ${PROJECT_BINARY_DIR}/quorvelle.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvelle.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The embedding guide's example, built against an installed copy both ways.
if(QV_BUILD_TESTS)
  add_test(NAME install_builds_embedding_example
    COMMAND ${CMAKE_COMMAND}
      -DQV_BINARY_DIR=${PROJECT_BINARY_DIR}
      -DQV_SOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DQV_WORK_DIR=${PROJECT_BINARY_DIR}/install-test
      -DQV_CXX=${CMAKE_CXX_COMPILER}
      -DQV_GENERATOR=${CMAKE_GENERATOR}
      "-DQV_LINK_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
      -P ${PROJECT_SOURCE_DIR}/cmake/TestInstall.cmake)
  set_tests_properties(install_builds_embedding_example PROPERTIES LABELS install TIMEOUT 900)
endif()
