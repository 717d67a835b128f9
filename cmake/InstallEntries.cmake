# Runs at install time (cmake --install, CPack): writes the launcher entry and the
# D-Bus service file with the absolute path of the installed program, for the prefix
# installed to, which need not be the configured one. Expects OVERLOOK_SOURCE_DIR.
set(program "${CMAKE_INSTALL_PREFIX}/bin/overlook")
# Both formats take a double-quoted argument with \ before " ` $ and \ inside.
string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" quoted "${program}")
set(quoted "\"${quoted}\"")
# A desktop entry's value is unescaped once more before it is split, and % is a field code.
string(REPLACE "\\" "\\\\" desktop_exec "${quoted}")
string(REPLACE "%" "%%" desktop_exec "${desktop_exec}")

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(READ "${OVERLOOK_SOURCE_DIR}/Overlook/resources/overlook.desktop" entry)
string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${desktop_exec}" entry "${entry}")
file(WRITE "${root}/share/applications/overlook.desktop" "${entry}")
message(STATUS "Installing: ${root}/share/applications/overlook.desktop")

set(OVERLOOK_EXEC "${quoted}")
configure_file("${OVERLOOK_SOURCE_DIR}/ControlBus/io.overlook.Overlook.service.in"
  "${root}/share/dbus-1/services/io.overlook.Overlook.service" @ONLY)
message(STATUS "Installing: ${root}/share/dbus-1/services/io.overlook.Overlook.service")
