#!/usr/bin/env bash
# Builds the Windows installer, Tidepool-VERSION-x64.msi, from a Windows
# build: bin/Tidepool.ax, quilltrace.dll and tidepool.exe, everything in the
# runtime's folder (QuickTime/) as it is now, and the README. wixl (Debian's
# msitools) writes the package; msibuild then adds what wixl cannot express:
# the condition that installs the QTSysDir value only when no runtime is
# registered (or the value is ours from an earlier install), and the actions
# that run regsvr32 on the installed module (register after the files are
# in, unregister before they go).
# Usage: scripts/make_installer.sh BUILD_DIR VERSION OUTPUT.msi
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
version=$2
out=$(realpath -m "$3")
for f in bin/Tidepool.ax bin/quilltrace.dll bin/tidepool.exe QuickTime/QuickTime.qts; do
  [ -f "$build/$f" ] || { echo "make_installer: $build/$f was not built"; exit 1; }
done
for tool in wixl wixl-heat msibuild; do
  command -v "$tool" >/dev/null || { echo "make_installer: $tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The runtime's folder as it is at build time: one component per file.
(cd "$build" && find QuickTime -type f | LC_ALL=C sort) |
  wixl-heat -p QuickTime/ --component-group RuntimeFiles --var var.RuntimeDir --directory-ref RUNTIMEDIR --win64 \
    >"$work/runtime.wxs"

# wixl takes sources relative to where it runs: a staging folder of links.
mkdir "$work/stage"
ln -s "$here/README.md" "$work/stage/README.md"
ln -s "$build/bin" "$work/stage/bin"
ln -s "$build/QuickTime" "$work/stage/QuickTime"
(cd "$work/stage" && wixl -a x64 -D Version="$version" -D Win64=yes -D RuntimeDir=QuickTime \
  -o "$work/Tidepool.msi" "$here/installer/Tidepool.wxs" "$work/runtime.wxs")

# Custom action types: 34 runs an executable with a working folder; +1024
# deferred (the installed file exists), +2048 as the system (per machine);
# +64 the result is ignored (an uninstall goes on whatever regsvr32 says).
regsvr32='"[System64Folder]regsvr32.exe"'
sql() { msibuild "$work/Tidepool.msi" -q "$1"; }
sql "UPDATE \`Component\` SET \`Condition\`='NOT QTSYSDIR OR OURQTSYSDIR' WHERE \`Component\`='RuntimeRegistration'"
sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('RegisterModule', 3106, 'BINDIR', '$regsvr32 /s \"[#TidepoolAx]\"')"
sql "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('UnregisterModule', 3170, 'BINDIR', '$regsvr32 /s /u \"[#TidepoolAx]\"')"
# Deferred actions run inside the script: between InstallInitialize (1500)
# and InstallFinalize, unregistering before RemoveFiles (3500).
sql "UPDATE \`InstallExecuteSequence\` SET \`Sequence\`=3400 WHERE \`Action\`='UnregisterModule'"
sql "UPDATE \`InstallExecuteSequence\` SET \`Sequence\`=4010 WHERE \`Action\`='RegisterModule'"
mkdir -p "$(dirname "$out")"
mv "$work/Tidepool.msi" "$out"
echo "make_installer: $out"
