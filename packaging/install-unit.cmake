# Install-time step: writes qmxd.service from qmxd.service.in with ExecStart
# naming qmxd under the prefix of this installation, and records it in the
# install manifest like any installed file.
#
# Set by the caller: qmx_unit_template, qmx_unit_dir and qmx_bin_dir (either
# relative to CMAKE_INSTALL_PREFIX or absolute).
foreach(var qmx_unit_dir qmx_bin_dir)
  if(IS_ABSOLUTE "${${var}}")
    set(${var}_full "${${var}}")
  else()
    set(${var}_full "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

set(QMXD_PATH "${qmx_bin_dir_full}/qmxd")
file(READ "${qmx_unit_template}" unit_text)
string(CONFIGURE "${unit_text}" unit_text @ONLY)

set(unit_path "${qmx_unit_dir_full}/qmxd.service")
set(unit_file "$ENV{DESTDIR}${unit_path}")
message(STATUS "Installing: ${unit_file}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${qmx_unit_dir_full}")
file(WRITE "${unit_file}" "${unit_text}")
file(CHMOD "${unit_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")
