# Read by cpack in a cross build (CPACK_PROJECT_CONFIG_FILE): the Depends of the packages,
# from dpkg-shlibdeps over the programs with the target's libraries. The cross toolchain's
# packages describe those libraries under their own names ('libc6:arm64',
# 'libgcc-s1-arm64-cross'); on the target they are 'libc6' and 'libgcc-s1'.
set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${arch}
                        dpkg-shlibdeps -l${CPACK_H8SX_CROSS_LIBRARIES} -O ${CPACK_H8SX_CROSS_PROGRAMS}
                WORKING_DIRECTORY ${CPACK_H8SX_SHLIBDEPS_DIR}
                OUTPUT_VARIABLE depends ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT depends MATCHES "^shlibs:Depends=")
  message(FATAL_ERROR "dpkg-shlibdeps for ${arch} failed: ${errors}")
endif()
string(REGEX REPLACE "^shlibs:Depends=" "" depends "${depends}")
string(REGEX REPLACE "(:${arch}|-${arch}-cross)" "" depends "${depends}")
string(STRIP "${depends}" CPACK_DEBIAN_CLI_PACKAGE_DEPENDS)
