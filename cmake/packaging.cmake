# What `cmake --install` puts where, and the release packages CPack makes from it: a tarball
# (tarn-cuda-VERSION-linux-ARCH.tar.gz) and a .deb. Files under contrib/ that a tree does not
# hold yet are left out here; the package test names them.
include(GNUInstallDirs)

install(TARGETS tarn-cuda RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(tarn_share ${CMAKE_INSTALL_DATADIR}/tarn-cuda)
set(tarn_contrib ${CMAKE_SOURCE_DIR}/contrib)
# A contrib file added later reconfigures the build, so its install rule is not silently missing.
foreach(d contrib contrib/systemd)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${d})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${d})
  endif()
endforeach()

# The example config goes beside the other shared files, never to /etc: a package upgrade must
# not touch the config an operator wrote. The release README says how to copy it.
foreach(f config.example.json config.README.md)
  if(EXISTS ${tarn_contrib}/${f})
    install(FILES ${tarn_contrib}/${f} DESTINATION ${tarn_share})
  endif()
endforeach()
# systemd reads units from lib/systemd/system under both /usr and /usr/local.
if(EXISTS ${tarn_contrib}/systemd/tarn-cuda.service)
  install(FILES ${tarn_contrib}/systemd/tarn-cuda.service DESTINATION lib/systemd/system)
endif()
if(EXISTS ${tarn_contrib}/prometheus)
  install(DIRECTORY ${tarn_contrib}/prometheus/ DESTINATION ${tarn_share}/prometheus)
endif()
# The rig scripts keep their executable bits.
install(DIRECTORY ${tarn_contrib}/rigos/ DESTINATION ${tarn_share}/rigos USE_SOURCE_PERMISSIONS)
install(FILES ${tarn_contrib}/README.release.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME README.md)

set(TARN_PACKAGE_MAINTAINER "tarn-cuda developers <tarn-cuda@localhost>" CACHE STRING
    "Maintainer field of the .deb")

set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_NAME tarn-cuda)
set(CPACK_PACKAGE_VENDOR "tarn-cuda developers")
set(CPACK_PACKAGE_CONTACT "${TARN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Proof-of-work pool miner for NVIDIA GPUs")
set(CPACK_PACKAGE_FILE_NAME "tarn-cuda-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME tarn-cuda)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARN_PACKAGE_MAINTAINER}")
# The summary above is the first line; this is the rest, one string.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Mines over WebSocket (ws:// and wss://) with one worker per \
GPU and failover, and serves an HTTP API (/summary, /metrics). Ships a systemd unit, Prometheus \
alert rules and rig-OS custom-miner folders. Needs the NVIDIA driver (CUDA and NVML).")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libssl and libmicrohttpd, and whatever else the binary links, with the versions it needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The rig-OS stats scripts read the API with curl and jq.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "curl, jq")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
