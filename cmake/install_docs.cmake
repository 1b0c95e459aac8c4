# Included by the install step, where CMAKE_INSTALL_PREFIX is the prefix the
# files go under (also with cmake --install --prefix and inside cpack) and
# file(INSTALL) adds DESTDIR.

# The absolute path of an install directory given relative to the prefix.
function(vaklabel_installed_dir dir out)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE full)
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

# Installs `source` as `name`.gz into `destination`, compressed as Debian
# wants it: the best compression, and no file name or time stamp in the
# header, so the same text always gives the same bytes.
function(vaklabel_install_gzipped source name destination)
  file(MAKE_DIRECTORY "${VAKLABEL_INSTALL_WORK}")
  set(gz "${VAKLABEL_INSTALL_WORK}/${name}.gz")
  execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${gz}" COMMAND_ERROR_IS_FATAL ANY)
  vaklabel_installed_dir("${destination}" dest)
  file(INSTALL "${gz}" DESTINATION "${dest}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# Installs the manual page of `command`, its @DATADIR@ and @VTAPE_PRELOAD_PATH@
# naming the directories under the prefix it is installed under.
function(vaklabel_install_man_page command mandir datadir pkglibdir)
  vaklabel_installed_dir("${datadir}" DATADIR)
  vaklabel_installed_dir("${pkglibdir}/libvtape.so" VTAPE_PRELOAD_PATH)
  set(page "${VAKLABEL_INSTALL_WORK}/${command}.1")
  configure_file("${VAKLABEL_SOURCE_DIR}/man/${command}.1" "${page}" @ONLY)
  vaklabel_install_gzipped("${page}" "${command}.1" "${mandir}/man1")
endfunction()
