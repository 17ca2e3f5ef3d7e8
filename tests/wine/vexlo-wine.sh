#!/bin/sh
# Runs the Windows build under Wine in place of the native binary, for the
# end-to-end suite (VEXLO_BINARY) and for the key test. The caller sets up
# WINEPREFIX and starts the Wine server; VEXLO_EXE names the .exe.
exec timeout 30 wine "${VEXLO_EXE:?VEXLO_EXE must name vexlo.exe}"
