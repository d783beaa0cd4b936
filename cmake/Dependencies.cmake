# Libraries we call instead of writing our own. Every one comes from a Debian
# package that scripts/install-deps.sh installs.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

pkg_check_modules(UUID      REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
pkg_check_modules(ALSA      REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(SPEEXDSP  REQUIRED IMPORTED_TARGET speexdsp)
pkg_check_modules(ESPEAKNG  REQUIRED IMPORTED_TARGET espeak-ng)
pkg_check_modules(OPUS      REQUIRED IMPORTED_TARGET opus)
pkg_check_modules(SPANDSP   REQUIRED IMPORTED_TARGET spandsp)

# libgsm and libspeex ship no pkg-config file for what we need: gsm has none,
# and speex is only dlopen'ed, so we want its headers but never its library.
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm REQUIRED)
find_library(GSM_LIBRARY gsm REQUIRED)
find_path(SPEEX_INCLUDE_DIR speex/speex.h REQUIRED)

add_library(qv_deps INTERFACE)
target_include_directories(qv_deps INTERFACE ${GSM_INCLUDE_DIR} ${SPEEX_INCLUDE_DIR})
target_link_libraries(qv_deps INTERFACE
  OpenSSL::Crypto PkgConfig::UUID PkgConfig::PORTAUDIO PkgConfig::ALSA
  PkgConfig::SPEEXDSP PkgConfig::ESPEAKNG PkgConfig::OPUS PkgConfig::SPANDSP ${GSM_LIBRARY} ${CMAKE_DL_LIBS} Threads::Threads)

# Test and benchmark peers: independent SIP stacks (spandsp, the G.722 of the
# calls, is also the tests' reference G.711).
if(QV_BUILD_TESTS OR QV_BUILD_BENCH)
  find_package(GTest REQUIRED)
  pkg_check_modules(OSIP    REQUIRED IMPORTED_TARGET libosip2)
  pkg_check_modules(SOFIA   REQUIRED IMPORTED_TARGET sofia-sip-ua)
endif()
if(QV_BUILD_BENCH)
  find_package(benchmark QUIET)
endif()
