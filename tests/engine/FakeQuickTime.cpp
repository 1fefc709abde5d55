// A scripted stand-in for "QuickTime.qts", built as a shared library of that
// name into a folder of its own, for the tests of the runtime binding and the
// movie session. It exports the three entries (with FAKEQT_NO_DISPATCHER the
// dispatcher is exported under another name) and serves the calls the movie session makes.
//
// Behaviour comes from environment variables read at each call:
//   FAKEQT_FAIL    "selector=error,..." (hex selectors): those calls fail;
//                  for 1d0059 (IsQTMLInitialized) any value answers true
//   FAKEQT_TRACKS  handler types of the movie's tracks, e.g. "vide,soun,vide";
//                  track n has time scale 600 and duration 1000 * n
//   FAKEQT_LOG     a file; every call appends "<selector hex>\n"
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QuickTime/Movies.h"
#include "QuickTime/QTDispatch.h"
#include "QuickTime/QTML.h"
#include "QuickTime/QTSelectors.h"
#include "tpversion.h"

// FAKEQT_OLD builds a runtime just below the oldest version the binding
// trusts (7.0.2.0).
#ifdef FAKEQT_OLD
TP_VERSION_RESOURCE(7, 0, 1, 255, "Scripted movie runtime for tests (old)");
#else
TP_VERSION_RESOURCE(7, 6, 9, 0, "Scripted movie runtime for tests");
#endif

namespace {

struct FakeMedia {
  OSType handler;
  int index;  // 1-based track number
};
struct FakeTrack {
  FakeMedia media;
};
struct FakeMovie {
  void *master;  // a Movie points at this master pointer
  std::vector<FakeTrack> tracks;
};

int g_initCount = 0;

void Log(uint32_t selector) {
  const char *path = std::getenv("FAKEQT_LOG");
  if (path == nullptr || *path == '\0') return;
  if (FILE *f = std::fopen(path, "a")) {
    std::fprintf(f, "%x\n", selector);
    std::fclose(f);
  }
}

// The scripted error of a selector, or 0.
int ScriptedError(uint32_t selector) {
  const char *script = std::getenv("FAKEQT_FAIL");
  if (script == nullptr) return 0;
  std::string s(script);
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos && std::strtoul(item.c_str(), nullptr, 16) == selector) {
      return std::atoi(item.c_str() + eq + 1);
    }
    pos = end + 1;
  }
  return 0;
}

OSType FourCC(const std::string &s) {
  if (s.size() != 4) return 0;
  return QT_FOUR_CHAR_CODE(s[0], s[1], s[2], s[3]);
}

FakeMovie *NewFakeMovie() {
  auto *movie = new FakeMovie();
  movie->master = movie;
  const char *tracks = std::getenv("FAKEQT_TRACKS");
  std::string s = tracks ? tracks : "";
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(',', pos);
    if (end == std::string::npos) end = s.size();
    const int index = static_cast<int>(movie->tracks.size()) + 1;
    movie->tracks.push_back(FakeTrack{FakeMedia{FourCC(s.substr(pos, end - pos)), index}});
    pos = end + 1;
  }
  return movie;
}

FakeMovie *FromMovie(Movie m) { return m ? static_cast<FakeMovie *>(*reinterpret_cast<void **>(m)) : nullptr; }

}  // namespace

extern "C" __attribute__((visibility("default"))) SInt32 _CallComponent(void *, void *) { return -2091; }
extern "C" __attribute__((visibility("default"))) SInt32 _CallComponentFunctionWithStorage(Handle, void *, void *) {
  return -2091;
}

// Without the dispatcher, the same code is exported under another name.
#ifdef FAKEQT_NO_DISPATCHER
#define FAKEQT_DISPATCHER notTheQuickTimeDispatcher
#else
#define FAKEQT_DISPATCHER theQuickTimeDispatcher
#endif

extern "C" __attribute__((visibility("default"))) intptr_t FAKEQT_DISPATCHER(uint32_t selector, ...) {
  Log(selector);
  va_list ap;
  va_start(ap, selector);
  intptr_t result = 0;
  const int scripted = ScriptedError(selector);
  switch (selector) {
    case kQTSelInitializeQTML:
      if (scripted) {
        result = scripted;
        break;
      }
      ++g_initCount;
      break;
    case kQTSelTerminateQTML:
      if (g_initCount > 0) --g_initCount;
      break;
    case kQTSelIsQTMLInitialized:  // a scripted value stands for another user
      result = scripted ? 1 : g_initCount > 0;
      break;
    case kQTSelEnterMovies:
      result = scripted;
      break;
    case kQTSelExitMovies:
      break;
    case kQTSelNativePathNameToFSSpec: {
      const char *path = va_arg(ap, char *);
      auto *spec = va_arg(ap, FSSpec *);
      std::snprintf(spec->path, sizeof(spec->path), "%s", path ? path : "");
      result = scripted;
      break;
    }
    case kQTSelOpenMovieFile: {
      const FSSpec *spec = va_arg(ap, const FSSpec *);
      auto *ref = va_arg(ap, SInt16 *);
      if (scripted) {
        result = scripted;
        break;
      }
      FILE *f = std::fopen(spec->path, "rb");
      if (f == nullptr) {
        result = fnfErr;
        break;
      }
      std::fclose(f);
      *ref = 7;
      break;
    }
    case kQTSelNewMovieFromFile: {
      auto *movie = va_arg(ap, Movie *);
      if (scripted) {
        result = scripted;
        break;
      }
      *movie = reinterpret_cast<Movie>(&NewFakeMovie()->master);
      break;
    }
    case kQTSelCloseMovieFile:
      break;
    case kQTSelDisposeMovie:
      delete FromMovie(va_arg(ap, Movie));
      break;
    case kQTSelGetMovieTrackCount: {
      FakeMovie *movie = FromMovie(va_arg(ap, Movie));
      result = movie ? static_cast<intptr_t>(movie->tracks.size()) : 0;
      break;
    }
    case kQTSelGetMovieIndTrack: {
      FakeMovie *movie = FromMovie(va_arg(ap, Movie));
      int index = va_arg(ap, int);
      if (movie && index >= 1 && static_cast<size_t>(index) <= movie->tracks.size()) {
        result = reinterpret_cast<intptr_t>(&movie->tracks[static_cast<size_t>(index) - 1]);
      }
      break;
    }
    case kQTSelGetTrackMedia: {
      auto *track = reinterpret_cast<FakeTrack *>(va_arg(ap, Track));
      result = track ? reinterpret_cast<intptr_t>(&track->media) : 0;
      break;
    }
    case kQTSelGetMediaHandlerDescription: {
      auto *media = reinterpret_cast<FakeMedia *>(va_arg(ap, Media));
      auto *type = va_arg(ap, OSType *);
      if (type) *type = media ? media->handler : 0;
      break;
    }
    case kQTSelGetMediaTimeScale:
      result = 600;
      break;
    case kQTSelGetMediaDuration: {  // 1000 per track number, to tell tracks apart
      auto *media = reinterpret_cast<FakeMedia *>(va_arg(ap, Media));
      result = media ? 1000 * media->index : 0;
      break;
    }
    case kQTSelGetMediaSample2: {
      auto *slot = va_arg(ap, OSErr *);
      *slot = static_cast<OSErr>(scripted ? scripted : unimpErr);
      result = *slot;
      break;
    }
    default:
      result = unimpErr;
      break;
  }
  va_end(ap);
  return result;
}
