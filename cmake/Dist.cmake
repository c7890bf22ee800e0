# The package a user copies into a viewer: dist/win64 or dist/win32 with both DLLs, vekhost.exe,
# an installation note (English and Japanese) and the licences of the decoders linked in; and the
# same as dist/vek-bridge-VERSION-win64.zip (or -win32.zip), the download.
if(VEK_32BIT)
  set(VEK_DIST_NAME win32)
  set(VEK_DIST_BITS 32)
  set(VEK_DIST_OTHER_BITS 64)
  set(VEK_DIST_OTHER win64)
  set(VEK_DIST_PLUGIN vek.spi)
else()
  set(VEK_DIST_NAME win64)
  set(VEK_DIST_BITS 64)
  set(VEK_DIST_OTHER_BITS 32)
  set(VEK_DIST_OTHER win32)
  set(VEK_DIST_PLUGIN vek.sph)
endif()
set(dist ${PROJECT_SOURCE_DIR}/dist/${VEK_DIST_NAME})
configure_file(${PROJECT_SOURCE_DIR}/cmake/dist/INSTALL.txt.in ${CMAKE_BINARY_DIR}/INSTALL.txt @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/dist/INSTALL.ja.txt.in ${CMAKE_BINARY_DIR}/INSTALL.ja.txt @ONLY)
# The download: the same folder in a zip, named with the version the DLLs' version resources carry.
set(VEK_RELEASE_NAME vek-bridge-${PROJECT_VERSION}-${VEK_DIST_NAME})
set(VEK_RELEASE_ZIP ${PROJECT_SOURCE_DIR}/dist/${VEK_RELEASE_NAME}.zip)
set(release ${CMAKE_BINARY_DIR}/release)
set(src ${VEK_DEPS_CACHE}/src)
add_custom_target(dist
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${dist}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${dist}/licences
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vek> $<TARGET_FILE:vek340> $<TARGET_FILE:vekhost>
          ${CMAKE_BINARY_DIR}/INSTALL.txt ${CMAKE_BINARY_DIR}/INSTALL.ja.txt ${dist}
  # Debug information stays in the build; users get the stripped DLLs.
  COMMAND ${VEK_TRIPLE}-strip --strip-debug ${dist}/${VEK_DIST_PLUGIN} ${dist}/libvek340.dll ${dist}/vekhost.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${dist}/licences/vek-bridge.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/libjpeg-turbo-2.1.5/LICENSE.md ${dist}/licences/libjpeg-turbo.md
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/libjpeg-turbo-2.1.5/README.ijg ${dist}/licences/libjpeg-turbo-ijg.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/libspng-0.7.3/LICENSE ${dist}/licences/libspng.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/giflib-5.2.1/COPYING ${dist}/licences/giflib.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/libdeflate-1.14/COPYING ${dist}/licences/libdeflate.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${src}/lcms2-2.14/COPYING ${dist}/licences/lcms2.txt
  COMMAND ${CMAKE_COMMAND} -E copy /usr/share/doc/libz-mingw-w64-dev/copyright ${dist}/licences/zlib.txt
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${release} ${VEK_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${release}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${dist} ${release}/${VEK_RELEASE_NAME}
  COMMAND ${CMAKE_COMMAND} -E chdir ${release} ${CMAKE_COMMAND} -E tar cf ${VEK_RELEASE_ZIP} --format=zip
          ${VEK_RELEASE_NAME}
  DEPENDS vek vek340 vekhost
  COMMENT "Packaging ${dist}"
  VERBATIM)
