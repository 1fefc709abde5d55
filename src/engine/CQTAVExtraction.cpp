#include "engine/CQTAVExtraction.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "QuickTime/QTML.h"
#include "engine/CQTTextExtraction.h"
#include "engine/QTTrackFactory.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kPathChunk = 2048;          // characters of the first read
constexpr DWORD kRegistryValueBytes = 520;  // 260 wide characters
constexpr SInt32 kFullNativePathFlag = static_cast<SInt32>(0x80000000u);

// The sign-extended low 16 bits of a runtime result.
LONG Low16(LONG value) { return static_cast<SInt16>(static_cast<UInt16>(value & 0xffff)); }

}  // namespace

LONG CQTAVExtraction::SetQTSysDir() {
  TraceA2("SetQTSysDir");
  WCHAR *buffer = static_cast<WCHAR *>(std::malloc(kPathChunk * sizeof(WCHAR)));
  if (buffer == nullptr) return -1;
  DWORD count = GetEnvironmentVariableW(TEXT("Path"), buffer, kPathChunk);
  TraceA2("dwRet(%d)", static_cast<int>(count));
  if (count == 0) {
    TraceA8("GetEnvironmentVariable failed(%d)", static_cast<int>(GetLastError()));
    std::free(buffer);
    return -1;
  }
  if (count > kPathChunk) {
    // The first read reported the size needed, terminator included.
    const DWORD capacity = count;
    WCHAR *bigger = static_cast<WCHAR *>(std::realloc(buffer, static_cast<size_t>(capacity) * sizeof(WCHAR)));
    if (bigger == nullptr) {
      std::free(buffer);
      return -1;
    }
    buffer = bigger;
    count = GetEnvironmentVariableW(TEXT("Path"), buffer, capacity);
    // A second answer that still does not fit (the variable grew in between)
    // leaves the buffer without a value: treat it as a failed read.
    if (count == 0 || count >= capacity) {
      TraceA8("GetEnvironmentVariable failed(%d)", static_cast<int>(GetLastError()));
      std::free(buffer);
      return -1;
    }
  }
  TraceW2(TEXT("Set Environment variable %s"), buffer);
  WideString value(buffer, count);
  std::free(buffer);
  WideString folder = GetQTSysDir();
  value += TEXT(";");
  value += folder;
  TraceW2(TEXT("QTSysDir(%s)"), folder.c_str());
  SetEnvironmentVariableW(TEXT("Path"), value.c_str());
  return 0;
}

WideString CQTAVExtraction::GetQTSysDir() {
  HKEY software = nullptr;
  HKEY maker = nullptr;
  HKEY quickTime = nullptr;
  WideString result;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_QUERY_VALUE, &software) == ERROR_SUCCESS) {
    if (RegOpenKeyExW(software, TEXT("Apple Computer, Inc."), 0, KEY_QUERY_VALUE, &maker) == ERROR_SUCCESS) {
      if (RegOpenKeyExW(maker, TEXT("QuickTime"), 0, KEY_QUERY_VALUE, &quickTime) == ERROR_SUCCESS) {
        // One character more than the registry may fill, so that a value
        // stored without its terminator still ends inside the buffer.
        WCHAR value[kRegistryValueBytes / sizeof(WCHAR) + 1] = {};
        DWORD bytes = kRegistryValueBytes;
        if (RegQueryValueExW(quickTime, TEXT("QTSysDir"), nullptr, nullptr, reinterpret_cast<BYTE *>(value), &bytes) ==
            ERROR_SUCCESS) {
          result = value;
        }
        RegCloseKey(quickTime);
      }
      RegCloseKey(maker);
    }
    RegCloseKey(software);
  }
  return result;
}

bool CQTAVExtraction::ReadFileVersion(LPCWSTR path, WORD *major, WORD *minor, WORD *build, WORD *revision) {
  if (path == nullptr) return false;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return false;
  void *block = std::malloc(size);
  if (block == nullptr) return false;
  bool ok = false;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  if (GetFileVersionInfoW(path, handle, size, block) &&
      VerQueryValueW(block, TEXT("\\"), reinterpret_cast<LPVOID *>(&fixed), &length) && fixed != nullptr &&
      length >= sizeof(VS_FIXEDFILEINFO)) {
    if (major) *major = HIWORD(fixed->dwFileVersionMS);
    if (minor) *minor = LOWORD(fixed->dwFileVersionMS);
    if (build) *build = HIWORD(fixed->dwFileVersionLS);
    if (revision) *revision = LOWORD(fixed->dwFileVersionLS);
    ok = true;
  }
  std::free(block);
  return ok;
}

Media CQTAVExtraction::FindMediaOfType(Movie movie, OSType type) {
  // The first track of the type, unless it is disabled and an enabled one
  // exists: a disabled track does not play by default.
  Media first = nullptr;
  SInt32 count = GetMovieTrackCount(movie);
  for (SInt32 index = 1; index <= count; ++index) {
    Track track = GetMovieIndTrack(movie, index);
    Media media = GetTrackMedia(track);
    OSType handler = 0;
    GetMediaHandlerDescription(media, &handler, nullptr, nullptr);
    if (handler != type) continue;
    if (GetTrackEnabled(track) != 0) return media;
    if (first == nullptr) first = media;
  }
  return first;
}

CQTAVExtraction::CQTAVExtraction(LPCWSTR path, IQTTrackFactory *factory)
    : videoExtraction(nullptr),
      audioExtraction(nullptr),
      movie(nullptr),
      status(0),
      factory_(factory != nullptr ? factory : &DefaultQTTrackFactory()) {
  TraceW2(TEXT("CQTAVExtraction::CQTAVExtraction\n"));
  SetQTSysDir();

  const WideString folder = GetQTSysDir();
  WORD major = 0, minor = 0, build = 0, revision = 0;
  if (ReadFileVersion((folder + TEXT("QTMLClient.dll")).c_str(), &major, &minor, &build, &revision)) {
    TraceA2("QTMLClient.dll version %d.%d.%d.%d", major, minor, build, revision);
  }
  if (ReadFileVersion((folder + TEXT("QuickTime.qts")).c_str(), &major, &minor, &build, &revision)) {
    TraceA2("QuickTime.qts version %d.%d.%d.%d", major, minor, build, revision);
  }

  OSErr err = InitializeQTML(0);
  if (err != noErr) {
    TraceW8(TEXT("InitializeQTML error(%d)"), static_cast<int>(err));
    status = err;
    return;
  }
  err = EnterMovies();
  if (err != noErr) {
    TraceW8(TEXT("EnterMovies error(%d)"), static_cast<int>(err));
    status = err;
    return;
  }

  // A null path is taken as an empty one: it then fails to open like any
  // other path that names no movie.
  LPCWSTR widePath = path != nullptr ? path : TEXT("");
  TraceW2(TEXT("input Movie file name %s"), widePath);
  const int wideLength = lstrlenW(widePath);
  int bytes = wideLength > 0 ? WideCharToMultiByte(CP_ACP, 0, widePath, wideLength, nullptr, 0, nullptr, nullptr) : 0;
  if (bytes < 0) bytes = 0;
  char *ansiPath = factory_->AllocateBytes(static_cast<size_t>(bytes) + 1);
  if (ansiPath == nullptr) {
    status = 2;
    return;
  }
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, widePath, wideLength, ansiPath, bytes, nullptr, nullptr);
  ansiPath[bytes] = '\0';
  TraceA2("Movie file name %s\n", ansiPath);
  FSSpec spec;
  std::memset(&spec, 0, sizeof(spec));
  NativePathNameToFSSpec(ansiPath, &spec, kFullNativePathFlag);
  factory_->FreeBytes(ansiPath);

  LONG rc = OpenMovie(&spec);
  if (Low16(rc) != 0) status = Low16(rc);
}

LONG CQTAVExtraction::OpenMovie(FSSpec *spec) {
  SInt16 fileRef = 0;
  OSErr err = OpenMovieFile(spec, &fileRef, 0);
  if (err != noErr) {
    TraceW8(TEXT("Open Movie File failed(%d)\n"), static_cast<int>(err));
    return err;
  }
  err = NewMovieFromFile(&movie, fileRef, nullptr, nullptr, newMovieActive, nullptr);
  if (err != noErr) {
    TraceW8(TEXT("NewMovieFromFile failed(%d)\n"), static_cast<int>(err));
    // A failed open leaves no movie to dispose, whatever the runtime wrote.
    movie = nullptr;
    CloseMovieFile(fileRef);
    return err;
  }
  CloseMovieFile(fileRef);

  if (FindMediaOfType(movie, VideoMediaType) != nullptr) {
    videoExtraction = factory_->CreateVideoExtraction(movie);
    if (videoExtraction == nullptr) {
      TraceW8(TEXT("new CQTVideoDecoder failed\n"));
      status = 2;
      return 2;
    }
  }
  if (videoExtraction != nullptr) RefuseUndecodable(&videoExtraction, VideoMediaType);
  if (FindMediaOfType(movie, SoundMediaType) == nullptr) return NoTrackLeft();

  IMediaExtraction *audio = factory_->CreateAudioExtraction(movie);
  if (audio == nullptr) {
    TraceW8(TEXT("new CQTAudioDecoder failed\n"));
    status = 2;
    return 2;
  }
  const LONG extractionResult = factory_->ProbeAudioExtraction(audio);
  if (extractionResult >= 0) {
    audioExtraction = audio;
    return 0;
  }
  // Movie audio extraction refuses what the converter may still decode (the
  // speech codecs); only a decoder whose set-up also fails is given up.
  delete audio;
  audioExtraction = factory_->CreateAudioDecoder(movie);
  if (audioExtraction == nullptr) {
    TraceW8(TEXT("new CQTAudioDecoder failed\n"));
    status = 2;
    return 2;
  }
  // A description the converter cannot even be set up for (an MP4 sound
  // description holds no rate from 65,536 Hz on) must not become a pin that
  // offers PCM at 0 Hz when the extraction found no decoder for it either.
  RefuseUndecodable(&audioExtraction, SoundMediaType, extractionResult == noCodecErr);
  return NoTrackLeft();
}

LONG CQTAVExtraction::NoTrackLeft() const {
  // Tracks were found and none can be decoded: as for a file that does not
  // open. A movie that never had a video or sound track stays usable.
  return refusedCount_ > 0 && videoExtraction == nullptr && audioExtraction == nullptr ? noCodecErr : 0;
}

void CQTAVExtraction::RefuseUndecodable(IMediaExtraction **track, OSType handlerType, bool noOtherDecoder) {
  OSType codec = 0;
  const LONG result = handlerType == VideoMediaType ? factory_->ProbeVideoDecoder(*track, &codec)
                                                    : factory_->ProbeAudioDecoder(*track, &codec);
  if (result != noCodecErr && !(noOtherDecoder && result != 0)) return;
  char name[5] = {static_cast<char>(codec >> 24), static_cast<char>(codec >> 16), static_cast<char>(codec >> 8),
                  static_cast<char>(codec), 0};
  for (int i = 0; i < 4; ++i) {
    if (name[i] < 0x20 || name[i] > 0x7e) name[i] = '?';
  }
  if (handlerType == VideoMediaType) {
    TraceA8("No decoder for the video codec '%s' (%d): the video track is left out", name, static_cast<int>(result));
  } else {
    TraceA8("No decoder for the sound format '%s' (%d): the sound track is left out", name, static_cast<int>(result));
  }
  delete *track;
  *track = nullptr;
  if (refusedCount_ < 2) refused_[refusedCount_++] = RefusedTrack{handlerType, codec};
}

const MovieContents *CQTAVExtraction::GetContents() {
  if (movie == nullptr) return nullptr;
  if (!contentsRead_) {
    contents_ = CQTMovieContents::Read(movie);
    contentsRead_ = true;
  }
  return &contents_;
}

int CQTAVExtraction::GetSoundTrackIndex() {
  if (soundTrack_ < 0) {
    soundTrack_ = 0;
    const MovieContents *contents = GetContents();
    Media media = audioExtraction != nullptr ? FindMediaOfType(movie, SoundMediaType) : nullptr;
    for (size_t i = 0; contents != nullptr && media != nullptr && i < contents->tracks.size(); ++i) {
      if (contents->tracks[i].media == media) soundTrack_ = contents->tracks[i].index;
    }
  }
  return soundTrack_;
}

void CQTAVExtraction::EnableSoundTrack(int trackIndex) {
  const MovieContents *contents = GetContents();
  if (contents == nullptr) return;
  for (const MovieTrackInfo &t : contents->tracks) {
    if (t.kind == TrackKind::Sound) SetTrackEnabled(t.track, t.index == trackIndex ? 1 : 0);
  }
}

IMediaExtraction *CQTAVExtraction::CreateSoundTrack(int trackIndex) {
  const MovieContents *contents = GetContents();
  if (contents == nullptr) return nullptr;
  const bool isSound = std::any_of(contents->tracks.begin(), contents->tracks.end(), [&](const MovieTrackInfo &t) {
    return t.index == trackIndex && t.kind == TrackKind::Sound;
  });
  if (!isSound) return nullptr;
  const int playing = GetSoundTrackIndex();
  // The track objects find their media, and movie audio extraction its
  // track, by the enabled flags.
  EnableSoundTrack(trackIndex);
  IMediaExtraction *track = factory_->CreateAudioExtraction(movie);
  LONG probe = track != nullptr ? factory_->ProbeAudioExtraction(track) : -1;
  if (track != nullptr && probe < 0) {
    delete track;
    track = factory_->CreateAudioDecoder(movie);
    OSType codec = 0;
    const LONG result = track != nullptr ? factory_->ProbeAudioDecoder(track, &codec) : -1;
    if (track != nullptr && (result == noCodecErr || (probe == noCodecErr && result != 0))) {
      TraceA8("No decoder for sound track %d (%d)", trackIndex, static_cast<int>(result));
      delete track;
      track = nullptr;
    }
  }
  if (track == nullptr) {
    EnableSoundTrack(playing);
    return nullptr;
  }
  pendingSound_ = trackIndex;
  return track;
}

void CQTAVExtraction::AdoptAudioExtraction(IMediaExtraction *track) {
  if (track == nullptr) return;
  delete audioExtraction;
  audioExtraction = track;
  soundTrack_ = pendingSound_;
}

void CQTAVExtraction::DiscardSoundTrack(IMediaExtraction *track) {
  delete track;
  EnableSoundTrack(GetSoundTrackIndex());
}

IMediaExtraction *CQTAVExtraction::GetTextExtraction(int *trackIndex) {
  if (textTrack_ < 0) {
    textTrack_ = 0;
    const MovieContents *contents = GetContents();
    const MovieTrackInfo *chosen = nullptr;
    for (size_t i = 0; contents != nullptr && i < contents->tracks.size(); ++i) {
      const MovieTrackInfo &t = contents->tracks[i];
      if (t.kind != TrackKind::Text) continue;
      if (chosen == nullptr || (!chosen->enabled && t.enabled)) chosen = &t;
      if (chosen->enabled) break;
    }
    if (chosen != nullptr) {
      textExtraction_ = new (std::nothrow) CQTTextExtraction(movie, chosen->track);
      if (textExtraction_ != nullptr) textTrack_ = chosen->index;
    }
  }
  if (trackIndex) *trackIndex = textTrack_;
  return textExtraction_;
}

ULONG CQTAVExtraction::GetRefusedTrackCount() { return refusedCount_; }

bool CQTAVExtraction::GetRefusedTrack(ULONG index, RefusedTrack *track) {
  if (track == nullptr || index >= refusedCount_) return false;
  *track = refused_[index];
  return true;
}

CQTAVExtraction::~CQTAVExtraction() {
  TraceW2(TEXT("CQTAVExtraction::~CQTAVExtraction()\n"));
  delete videoExtraction;
  videoExtraction = nullptr;
  delete audioExtraction;
  audioExtraction = nullptr;
  delete textExtraction_;
  textExtraction_ = nullptr;
  if (movie != nullptr) {
    TraceW2(TEXT("Dispose movie"));
    DisposeMovie(movie);
    movie = nullptr;
  }
  ExitMovies();
  TerminateQTML();
}

IMediaExtraction *CQTAVExtraction::GetAudioExtraction() { return audioExtraction; }

IMediaExtraction *CQTAVExtraction::GetVideoExtraction() { return videoExtraction; }

LONG CQTAVExtraction::GetStatus() { return status; }
