# Install-time step for the service: writes qmxd.service from qmxd.service.in
# with ExecStart naming qmxd under the prefix of this installation and
# EnvironmentFile naming the options file default/qmxd under the matching
# configuration folder, installs that options file, and records both in the
# install manifest like any installed file.
#
# The configuration folder follows the prefix given at install time (cpack
# installs under /usr whatever the build tree was configured with), the way
# GNUInstallDirs places sysconfdir: /etc for the prefix /usr (and /), /etc/opt/X
# for /opt/X, PREFIX/etc for any other prefix.
#
# Installed straight into the system (no DESTDIR), an options file already
# there is kept: it is the administrator's. Into a DESTDIR, a staging tree
# such as cpack's, the file is always written afresh.
#
# Set by the caller: qmx_unit_template, qmx_defaults_file, qmx_unit_dir and
# qmx_bin_dir (the last two relative to CMAKE_INSTALL_PREFIX or absolute).
foreach(var qmx_unit_dir qmx_bin_dir)
  if(IS_ABSOLUTE "${${var}}")
    set(${var}_full "${${var}}")
  else()
    set(${var}_full "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()

string(REGEX REPLACE "/+$" "" qmx_prefix "${CMAKE_INSTALL_PREFIX}")
if(qmx_prefix STREQUAL "" OR qmx_prefix STREQUAL "/usr")
  set(qmx_sysconf_dir "/etc")
elseif(qmx_prefix MATCHES "^/opt/")
  set(qmx_sysconf_dir "/etc${qmx_prefix}")
else()
  set(qmx_sysconf_dir "${qmx_prefix}/etc")
endif()

set(QMXD_PATH "${qmx_bin_dir_full}/qmxd")
set(QMXD_DEFAULTS "${qmx_sysconf_dir}/default/qmxd")
file(READ "${qmx_unit_template}" unit_text)
string(CONFIGURE "${unit_text}" unit_text @ONLY)

set(unit_path "${qmx_unit_dir_full}/qmxd.service")
set(unit_file "$ENV{DESTDIR}${unit_path}")
message(STATUS "Installing: ${unit_file}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${qmx_unit_dir_full}")
file(WRITE "${unit_file}" "${unit_text}")
file(CHMOD "${unit_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")

set(defaults_file "$ENV{DESTDIR}${QMXD_DEFAULTS}")
if("$ENV{DESTDIR}" STREQUAL "" AND (EXISTS "${defaults_file}" OR IS_SYMLINK "${defaults_file}"))
  message(STATUS "Keeping: ${defaults_file}")
else()
  message(STATUS "Installing: ${defaults_file}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${qmx_sysconf_dir}/default")
  file(COPY_FILE "${qmx_defaults_file}" "${defaults_file}" ONLY_IF_DIFFERENT)
  file(CHMOD "${defaults_file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${QMXD_DEFAULTS}")
