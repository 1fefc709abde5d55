// FFmpeg's libraries in the Windows runtime, and the host's choice of
// decoders.
#pragma once

namespace tp::qt {

// True when every FFmpeg library loaded from the runtime's own folder and
// is the release the runtime was built against. Tried once per process
// (the first caller loads; later ones get its answer); never from DllMain.
bool FfmpegLibrariesLoaded();

// True when the host asked for the system's decoders first: the REG_DWORD
// value "SystemDecodersFirst" under Software\Tidepool, non-zero, in
// HKEY_CURRENT_USER (which wins) or HKEY_LOCAL_MACHINE. Read at each call.
bool SystemDecodersFirst();

}  // namespace tp::qt
