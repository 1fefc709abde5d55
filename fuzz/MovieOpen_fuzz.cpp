// Fuzz target for opening a movie the way the engine does, through the
// dispatcher: the first input byte picks the file name extension, the rest
// becomes the file. When the movie opens, every media is walked sample by
// sample and its description is fetched, so that an importer that builds a
// model which opens but answers out of bounds is caught too; so are each
// track's chapter track (the chapter list's too), alternates and user data,
// and the movie's user data texts.
//
// Built as a libFuzzer binary with clang, and with ReplayMain.cpp as a
// plain program that runs the files named on its command line.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QuickTime/Movies.h>
#include <QuickTime/QTML.h>
#include <QuickTime/QTSelectors.h>

#include "toolbox/Dispatcher.h"

namespace {

using tp::qt::DispatchCall;

const char *const kExtensions[] = {".264", ".cif", ".amr", ".aif", ".aiff", ".dv", ".dif",
                                   ".flc", ".mov", ".mp4", ".3gp", ".m4a",  ".xyz"};

void Walk(Media media) {
  Handle desc = reinterpret_cast<Handle>(DispatchCall(kQTSelNewHandle, 0));
  DispatchCall(kQTSelGetMediaSampleDescription, media, 1, desc);
  DispatchCall(kQTSelDisposeHandle, desc);
  std::vector<UInt8> buf(1 << 16);
  TimeValue64 t = 0;
  for (int i = 0; i < 4096; ++i) {
    OSErr result = 0;
    UInt8 *data = buf.data();
    ByteCount max = ByteCount(buf.size()), size = 0, *sizeOut = &size;
    TimeValue64 decodeTime = 0, duration = 0, offset = 0;
    TimeValue64 *pDecode = &decodeTime, *pDuration = &duration, *pOffset = &offset;
    SampleDescriptionHandle noDesc = nullptr;
    ItemCount *noIndex = nullptr, maxCount = 1, count = 0, *pCount = &count;
    MediaSampleFlags flags = 0, *pFlags = &flags;
    DispatchCall(kQTSelGetMediaSample2, &result, &media, &data, &max, &sizeOut, &t, &pDecode, &pDuration, &pOffset,
                 &noDesc, &noIndex, &maxCount, &pCount, &pFlags);
    if (result == maxSizeToGrowTooSmall) {
      if (duration <= 0) break;
    } else if (result != noErr) {
      break;
    }
    if (result == noErr && (size > buf.size() || count != 1 || decodeTime > t)) __builtin_trap();
    if (duration <= 0) break;
    t = decodeTime + duration;
  }
}

// Every text item of the user data, for the bounds of its length header.
void ReadUserData(UserData ud) {
  if (!ud) return;
  Handle h = reinterpret_cast<Handle>(DispatchCall(kQTSelNewHandle, 0));
  for (OSType type : {0xA96E616Du, 0xA9415254u, 0xA9637079u, OSType(QT_FOUR_CHAR_CODE('n', 'a', 'm', 'e')),
                      OSType(QT_FOUR_CHAR_CODE('c', 'h', 'p', 'l'))}) {
    const SInt32 count = SInt32(DispatchCall(kQTSelCountUserDataType, ud, type));
    for (SInt32 i = 1; i <= count && i <= 16; ++i) {
      DispatchCall(kQTSelGetUserDataText, ud, h, type, i, 0);
      DispatchCall(kQTSelGetUserData, ud, h, type, i);
    }
  }
  DispatchCall(kQTSelDisposeHandle, h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string path = "/tmp/tp-open-fuzz-" + std::to_string(::getpid()) +
                     kExtensions[data[0] % (sizeof kExtensions / sizeof kExtensions[0])];
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  FSSpec spec;
  DispatchCall(kQTSelNativePathNameToFSSpec, path.data(), &spec, 0);
  SInt16 ref = 0;
  Movie movie = nullptr;
  if (DispatchCall(kQTSelOpenMovieFile, &spec, &ref, 0) == noErr) {
    DispatchCall(kQTSelNewMovieFromFile, &movie, ref, nullptr, nullptr, newMovieActive, nullptr);
    DispatchCall(kQTSelCloseMovieFile, ref);
  }
  if (movie) {
    SInt32 tracks = SInt32(DispatchCall(kQTSelGetMovieTrackCount, movie));
    for (SInt32 i = 1; i <= tracks; ++i) {
      Track track = reinterpret_cast<Track>(DispatchCall(kQTSelGetMovieIndTrack, movie, i));
      MatrixRecord matrix;
      DispatchCall(kQTSelGetTrackMatrix, track, &matrix);
      Media media = reinterpret_cast<Media>(DispatchCall(kQTSelGetTrackMedia, track));
      if (media) Walk(media);
      DispatchCall(kQTSelGetTrackEnabled, track);
      DispatchCall(kQTSelGetTrackAlternate, track);
      DispatchCall(kQTSelGetMediaLanguage, media);
      ReadUserData(reinterpret_cast<UserData>(DispatchCall(kQTSelGetTrackUserData, track)));
      const SInt32 refs = SInt32(DispatchCall(kQTSelGetTrackReferenceCount, track, kTrackReferenceChapterList));
      for (SInt32 r = 1; r <= refs && r <= 4; ++r) {
        Track chapters =
            reinterpret_cast<Track>(DispatchCall(kQTSelGetTrackReference, track, kTrackReferenceChapterList, r));
        Media chapterMedia = chapters ? reinterpret_cast<Media>(DispatchCall(kQTSelGetTrackMedia, chapters)) : nullptr;
        if (chapterMedia) Walk(chapterMedia);
      }
    }
    ReadUserData(reinterpret_cast<UserData>(DispatchCall(kQTSelGetMovieUserData, movie)));
    DispatchCall(kQTSelDisposeMovie, movie);
  }
  ::unlink(path.c_str());
  return 0;
}
