#include "toolbox/MovieToolbox.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "container/ChapterListTrack.h"
#include "container/DataFile.h"
#include "toolbox/MemoryManager.h"
#include "container/MovieImporter.h"
#include "container/SampleDescriptions.h"
#include "toolbox/ThreadLocal.h"

namespace tp::qt {
namespace {

TP_QT_INITIAL_EXEC_TLS thread_local OSErr tMoviesError = noErr;

TimeValue ClampTime(int64_t v) {
  return TimeValue(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

OSErr LastMoviesError() { return tMoviesError; }
void SetLastMoviesError(OSErr err) { tMoviesError = err; }

struct MovieToolbox::MediaRef {
  const Media *media = nullptr;
  const TrackRef *track = nullptr;  // the track that holds this media
  const DataFile *file = nullptr;   // the media's data file; null with a blob or when it could not be opened
};

struct MovieToolbox::TrackRef {
  const Track *track = nullptr;
  MediaRef media;
  std::atomic<bool> enabled{true};  // SetTrackEnabled's, starting as the file says
};

struct MovieToolbox::OpenMovie {
  Movie model;
  std::vector<std::unique_ptr<TrackRef>> tracks;
  // The chapter list as a track (GetTrackReference 'chap'), when the file
  // has a list and no chapter track; not among `tracks`.
  std::unique_ptr<Track> chapterListTrack;
  std::unique_ptr<TrackRef> chapterListRef;
  std::vector<std::unique_ptr<DataFile>> files;
  OpenMovie() = default;
  OpenMovie(const OpenMovie &) = delete;
  OpenMovie &operator=(const OpenMovie &) = delete;
  ~OpenMovie() = default;
};

struct MovieToolbox::Run {
  SampleRecord first;
  uint32_t count = 0;
  uint64_t bytes = 0;
};

MovieToolbox &MovieToolbox::Instance() {
  // A plain static so that unloading the runtime frees the registries.
  static MovieToolbox toolbox;
  return toolbox;
}

OSErr MovieToolbox::EnterMovies() {
  std::lock_guard lock(enterMutex_);
  ++enterCount_;
  SetLastMoviesError(noErr);
  return noErr;
}

void MovieToolbox::ExitMovies() {
  std::lock_guard lock(enterMutex_);
  if (enterCount_ > 0) --enterCount_;
  SetLastMoviesError(noErr);
}

OSErr MovieToolbox::OpenMovieFile(const FSSpec *spec, SInt16 *refNum, int permission) {
  OSErr err = noErr;
  if (!spec || !refNum) {
    err = paramErr;
  } else if (permission > fsRdPerm) {
    err = paramErr;  // the runtime reads movies, it never writes them
  } else if (::memchr(spec->path, '\0', sizeof spec->path) == nullptr || spec->path[0] == '\0') {
    err = bdNamErr;
  } else {
    std::string path = DataFile::Resolve(spec->path);
    DataFile file;
    if (!file.Open(path)) {
      // Something that exists and does not open is refused access (rights,
      // a lock held by another program), not missing.
      err = DataFile::Exists(path) ? permErr : fnfErr;
    } else if (!file.IsRegular()) {
      err = fnfErr;
    }
    if (err == noErr) {
      std::lock_guard lock(filesMutex_);
      if (files_.size() >= kMaxOpenFiles) {
        err = tmfoErr;
      } else {
        // Reference numbers run from 1 to 32767 and are reused once closed.
        while (files_.contains(nextRef_)) nextRef_ = SInt16(nextRef_ == 32767 ? 1 : nextRef_ + 1);
        *refNum = nextRef_;
        files_[nextRef_] = OpenFile{path};
        nextRef_ = SInt16(nextRef_ == 32767 ? 1 : nextRef_ + 1);
      }
    }
  }
  SetLastMoviesError(err);
  return err;
}

OSErr MovieToolbox::CloseMovieFile(SInt16 refNum) {
  OSErr err;
  {
    std::lock_guard lock(filesMutex_);
    err = files_.erase(refNum) ? OSErr(noErr) : OSErr(rfNumErr);
  }
  SetLastMoviesError(err);
  return err;
}

OSErr MovieToolbox::NewMovieFromFile(::Movie *movieOut, SInt16 refNum, SInt16 *resId, Boolean *dataRefWasChanged) {
  if (!movieOut) {
    SetLastMoviesError(paramErr);
    return paramErr;
  }
  *movieOut = nullptr;
  if (dataRefWasChanged) *dataRefWasChanged = 0;
  std::string path;
  {
    std::lock_guard lock(filesMutex_);
    auto it = files_.find(refNum);
    if (it != files_.end()) path = it->second.path;
  }
  if (path.empty()) {
    SetLastMoviesError(rfNumErr);
    return rfNumErr;
  }
  auto open = std::make_shared<OpenMovie>();
  ImportResult r = ImportMovieFile(path, &open->model);
  if (r.error != kNoErr) {
    // Why, for whoever watches debug output: the error number alone does
    // not say which file type or codec this runtime lacks.
    const std::string why = "QuickTime: NewMovieFromFile failed(" + std::to_string(r.error) + "): " + r.message + "\n";
    OutputDebugStringA(why.c_str());
    SetLastMoviesError(r.error);
    return r.error;
  }
  if (open->model.timeScale == 0) {
    SetLastMoviesError(invalidMovie);
    return invalidMovie;
  }
  // One handle per distinct data file, opened now so that sample reads
  // need no lookup and survive the file's reference number being closed.
  std::unordered_map<std::string, const DataFile *> byPath;
  for (const Track &t : open->model.tracks) {
    auto ref = std::make_unique<TrackRef>();
    ref->track = &t;
    ref->media.media = &t.media;
    ref->media.track = ref.get();
    if (!t.media.data.blob && !t.media.data.path.empty()) {
      auto it = byPath.find(t.media.data.path);
      if (it == byPath.end()) {
        auto file = std::make_unique<DataFile>();
        const DataFile *opened = nullptr;
        if (file->Open(t.media.data.path)) {
          opened = file.get();
          open->files.push_back(std::move(file));
        }
        it = byPath.emplace(t.media.data.path, opened).first;
      }
      ref->media.file = it->second;
    }
    ref->enabled.store(t.enabled);
    open->tracks.push_back(std::move(ref));
  }
  bool haveChapterTrack = false;
  for (const Track &t : open->model.tracks) {
    for (const TrackReference &r : t.references) {
      if (r.type == kTrackReferenceChapterList && !r.trackIds.empty() && open->model.TrackById(r.trackIds[0]))
        haveChapterTrack = true;
    }
  }
  if (!haveChapterTrack && !open->model.chapterList.empty()) {
    auto track = std::make_unique<Track>();
    if (MakeChapterListTrack(open->model, track.get())) {
      open->chapterListTrack = std::move(track);
      open->chapterListRef = std::make_unique<TrackRef>();
      open->chapterListRef->track = open->chapterListTrack.get();
      open->chapterListRef->media.media = &open->chapterListTrack->media;
      open->chapterListRef->media.track = open->chapterListRef.get();
      open->chapterListRef->enabled.store(false);
    }
  }
  if (resId) *resId = 0;
  {
    std::unique_lock lock(registryMutex_);
    movies_[open.get()] = open;
    for (auto &t : open->tracks) {
      tracks_[t.get()] = open;
      media_[&t->media] = open;
      userData_[const_cast<std::vector<UserDataItem> *>(&t->track->userData)] = open;
    }
    if (open->chapterListRef) {
      tracks_[open->chapterListRef.get()] = open;
      media_[&open->chapterListRef->media] = open;
    }
    userData_[&open->model.userData] = open;
  }
  *movieOut = reinterpret_cast<::Movie>(open.get());
  SetLastMoviesError(noErr);
  return noErr;
}

void MovieToolbox::DisposeMovie(::Movie movie) {
  std::shared_ptr<OpenMovie> open;
  {
    std::unique_lock lock(registryMutex_);
    auto it = movies_.find(movie);
    if (it != movies_.end()) {
      open = it->second;
      movies_.erase(it);
      for (auto &t : open->tracks) {
        tracks_.erase(t.get());
        media_.erase(&t->media);
        userData_.erase(const_cast<std::vector<UserDataItem> *>(&t->track->userData));
      }
      if (open->chapterListRef) {
        tracks_.erase(open->chapterListRef.get());
        media_.erase(&open->chapterListRef->media);
      }
      userData_.erase(&open->model.userData);
    }
  }
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMovie));
  // The movie goes when the last call still reading it returns.
}

std::shared_ptr<MovieToolbox::OpenMovie> MovieToolbox::FindMovie(::Movie m) {
  std::shared_lock lock(registryMutex_);
  auto it = movies_.find(m);
  return it == movies_.end() ? nullptr : it->second;
}

std::shared_ptr<MovieToolbox::OpenMovie> MovieToolbox::FindTrack(::Track t, const TrackRef **ref) {
  std::shared_lock lock(registryMutex_);
  auto it = tracks_.find(t);
  if (it == tracks_.end()) return nullptr;
  *ref = reinterpret_cast<const TrackRef *>(t);
  return it->second;
}

std::shared_ptr<MovieToolbox::OpenMovie> MovieToolbox::FindMedia(::Media m, const MediaRef **ref) {
  std::shared_lock lock(registryMutex_);
  auto it = media_.find(m);
  if (it == media_.end()) return nullptr;
  *ref = reinterpret_cast<const MediaRef *>(m);
  return it->second;
}

std::shared_ptr<MovieToolbox::OpenMovie> MovieToolbox::FindUserData(::UserData u,
                                                                    const std::vector<UserDataItem> **items) {
  std::shared_lock lock(registryMutex_);
  auto it = userData_.find(u);
  if (it == userData_.end()) return nullptr;
  *items = reinterpret_cast<const std::vector<UserDataItem> *>(u);
  return it->second;
}

TimeScale MovieToolbox::GetMovieTimeScale(::Movie movie) {
  auto open = FindMovie(movie);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMovie));
  return open ? TimeScale(open->model.timeScale) : 0;
}

TimeValue MovieToolbox::GetMovieDuration(::Movie movie) {
  auto open = FindMovie(movie);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMovie));
  return open ? ClampTime(open->model.duration) : 0;
}

SInt32 MovieToolbox::GetMovieTrackCount(::Movie movie) {
  auto open = FindMovie(movie);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMovie));
  return open ? SInt32(open->tracks.size()) : 0;
}

::Track MovieToolbox::GetMovieIndTrack(::Movie movie, SInt32 index) {
  auto open = FindMovie(movie);
  if (!open) {
    SetLastMoviesError(invalidMovie);
    return nullptr;
  }
  if (index < 1 || size_t(index) > open->tracks.size()) {
    SetLastMoviesError(badTrackIndex);
    return nullptr;
  }
  SetLastMoviesError(noErr);
  return reinterpret_cast<::Track>(open->tracks[size_t(index) - 1].get());
}

::Media MovieToolbox::GetTrackMedia(::Track track) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidTrack));
  return open ? reinterpret_cast<::Media>(const_cast<MediaRef *>(&ref->media)) : nullptr;
}

void MovieToolbox::GetTrackMatrix(::Track track, MatrixRecord *matrix) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return;
  }
  if (!matrix) {
    SetLastMoviesError(paramErr);
    return;
  }
  for (int i = 0; i < 9; ++i) matrix->matrix[i / 3][i % 3] = ref->track->matrix[i];
  SetLastMoviesError(noErr);
}

Boolean MovieToolbox::GetTrackEnabled(::Track track) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidTrack));
  return open && ref->enabled.load() ? 1 : 0;
}

void MovieToolbox::SetTrackEnabled(::Track track, Boolean enabled) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (open) const_cast<TrackRef *>(ref)->enabled.store(enabled != 0);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidTrack));
}

::Track MovieToolbox::GetTrackAlternate(::Track track) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return nullptr;
  }
  SetLastMoviesError(noErr);
  const int16_t group = ref->track->alternateGroup;
  const size_t count = open->tracks.size();
  size_t self = count;
  for (size_t i = 0; i < count; ++i) {
    if (open->tracks[i].get() == ref) self = i;
  }
  if (group == 0 || self == count) return track;
  for (size_t step = 1; step < count; ++step) {
    const TrackRef *other = open->tracks[(self + step) % count].get();
    if (other->track->alternateGroup == group) return reinterpret_cast<::Track>(const_cast<TrackRef *>(other));
  }
  return track;
}

SInt32 MovieToolbox::GetTrackReferenceCount(::Track track, OSType type) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return 0;
  }
  SetLastMoviesError(noErr);
  for (const TrackReference &r : ref->track->references) {
    if (r.type == type) return SInt32(r.trackIds.size());
  }
  return type == kTrackReferenceChapterList && open->chapterListRef && ref != open->chapterListRef.get() ? 1 : 0;
}

::Track MovieToolbox::GetTrackReference(::Track track, OSType type, SInt32 index) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return nullptr;
  }
  SetLastMoviesError(noErr);
  for (const TrackReference &r : ref->track->references) {
    if (r.type != type) continue;
    if (index < 1 || size_t(index) > r.trackIds.size()) return nullptr;
    // An id that names no track (0 is allowed and means none) answers null.
    for (const auto &t : open->tracks) {
      if (t->track->id == r.trackIds[size_t(index) - 1] && r.trackIds[size_t(index) - 1] != 0)
        return reinterpret_cast<::Track>(t.get());
    }
    return nullptr;
  }
  if (type == kTrackReferenceChapterList && index == 1 && open->chapterListRef && ref != open->chapterListRef.get())
    return reinterpret_cast<::Track>(open->chapterListRef.get());
  return nullptr;
}

SInt16 MovieToolbox::GetMediaLanguage(::Media media) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMedia));
  return open ? SInt16(ref->media->language) : SInt16(0);
}

::UserData MovieToolbox::GetMovieUserData(::Movie movie) {
  auto open = FindMovie(movie);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMovie));
  return open ? reinterpret_cast<::UserData>(&open->model.userData) : nullptr;
}

::UserData MovieToolbox::GetTrackUserData(::Track track) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  // The chapter list's own track has no user data of its own.
  if (open && ref == open->chapterListRef.get()) open = nullptr;
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidTrack));
  return open ? reinterpret_cast<::UserData>(const_cast<std::vector<UserDataItem> *>(&ref->track->userData)) : nullptr;
}

SInt16 MovieToolbox::CountUserDataType(::UserData userData, OSType type) {
  const std::vector<UserDataItem> *items = nullptr;
  auto open = FindUserData(userData, &items);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(paramErr));
  if (!open) return 0;
  size_t n = 0;
  for (const UserDataItem &item : *items) n += item.type == type;
  return SInt16(std::min<size_t>(n, 0x7FFF));
}

OSErr MovieToolbox::GetUserData(::UserData userData, Handle data, OSType type, SInt32 index, bool text) {
  const std::vector<UserDataItem> *items = nullptr;
  auto open = FindUserData(userData, &items);
  OSErr err = noErr;
  if (!open) {
    err = paramErr;
  } else if (!data) {
    err = nilHandleErr;
  } else {
    err = userDataItemNotFound;
    SInt32 seen = 0;
    for (const UserDataItem &item : *items) {
      if (item.type != type || ++seen != index) continue;
      std::span<const uint8_t> bytes(item.data);
      if (text) {
        // A 16-bit length, a 16-bit language, then the text.
        const size_t length = bytes.size() >= 4 ? size_t((bytes[0] << 8) | bytes[1]) : 0;
        if (bytes.size() < 4 || length > bytes.size() - 4) {
          err = userDataItemNotFound;
          break;
        }
        bytes = bytes.subspan(4, length);
      }
      err = MemoryManager::Instance().SetHandleData(data, bytes.data(), bytes.size());
      break;
    }
  }
  SetLastMoviesError(err);
  return err;
}

const Track *MovieToolbox::DefaultTrackOfType(::Movie movie, uint32_t handlerType,
                                              std::shared_ptr<const Movie> *model) {
  auto open = FindMovie(movie);
  if (!open) return nullptr;
  const Track *first = nullptr;
  for (const auto &t : open->tracks) {
    if (t->track->media.handlerType != handlerType) continue;
    if (t->enabled.load()) {
      first = t->track;
      break;
    }
    if (!first) first = t->track;
  }
  if (first && model) *model = std::shared_ptr<const Movie>(open, &open->model);
  return first;
}

TimeScale MovieToolbox::GetMediaTimeScale(::Media media) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMedia));
  return open ? TimeScale(ref->media->timeScale) : 0;
}

TimeValue MovieToolbox::GetMediaDuration(::Media media) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMedia));
  return open ? ClampTime(ref->media->duration) : 0;
}

void MovieToolbox::GetMediaHandlerDescription(::Media media, OSType *mediaType, unsigned char *creatorName,
                                              OSType *creatorManufacturer) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  if (!open) {
    SetLastMoviesError(invalidMedia);
    return;
  }
  if (mediaType) *mediaType = ref->media->handlerType;
  if (creatorName) {
    const std::string &name = ref->media->handlerName;
    size_t n = std::min<size_t>(name.size(), 255);
    creatorName[0] = uint8_t(n);
    std::memcpy(creatorName + 1, name.data(), n);
  }
  if (creatorManufacturer) *creatorManufacturer = 0;
  SetLastMoviesError(noErr);
}

OSErr MovieToolbox::CopyDescription(const MediaRef &ref, uint32_t index, Handle h) {
  const Media &m = *ref.media;
  if (index < 1 || index > m.sampleDescriptions.size()) return invalidSampleDescIndex;
  std::vector<uint8_t> host;
  if (QtErr e = StoredToHostDescription(m.Description(index), m.handlerType, &host); e != kNoErr) return e;
  return MemoryManager::Instance().SetHandleData(h, host.data(), host.size());
}

void MovieToolbox::GetMediaSampleDescription(::Media media, SInt32 index, SampleDescriptionHandle descH) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  OSErr err;
  if (!open)
    err = invalidMedia;
  else if (!descH)
    err = nilHandleErr;
  else
    err = CopyDescription(*ref, index < 0 ? 0 : uint32_t(index), reinterpret_cast<Handle>(descH));
  SetLastMoviesError(err);
}

void MovieToolbox::GetMovieNextInterestingTime(::Movie movie, int flags, int numMediaTypes,
                                               const OSType *whichMediaTypes, TimeValue time, Fixed rate,
                                               TimeValue *interestingTime, TimeValue *interestingDuration) {
  if (interestingTime) *interestingTime = -1;
  if (interestingDuration) *interestingDuration = 0;
  auto open = FindMovie(movie);
  if (!open) {
    SetLastMoviesError(invalidMovie);
    return;
  }
  if (numMediaTypes < 0 || (numMediaTypes > 0 && !whichMediaTypes)) {
    SetLastMoviesError(paramErr);
    return;
  }
  SetLastMoviesError(noErr);
  // Sample boundaries are the interesting times this runtime knows; a
  // request for anything else finds none.
  if (!(flags & (nextTimeMediaSample | nextTimeSyncSample))) return;
  std::span<const uint32_t> types(whichMediaTypes, size_t(numMediaTypes));
  int64_t found = -1, duration = 0;
  if (open->model.NextInterestingTime(types, time, (flags & nextTimeEdgeOK) != 0, rate < 0, &found, &duration)) {
    if (interestingTime) *interestingTime = ClampTime(found);
    if (interestingDuration) *interestingDuration = ClampTime(duration);
  }
}

::Track MovieToolbox::GetMediaTrack(::Media media) {
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  SetLastMoviesError(open ? OSErr(noErr) : OSErr(invalidMedia));
  return open ? reinterpret_cast<::Track>(const_cast<TrackRef *>(ref->track)) : nullptr;
}

void MovieToolbox::GetTrackNextInterestingTime(::Track track, int flags, TimeValue time, Fixed rate,
                                               TimeValue *interestingTime, TimeValue *interestingDuration) {
  if (interestingTime) *interestingTime = -1;
  if (interestingDuration) *interestingDuration = 0;
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return;
  }
  SetLastMoviesError(noErr);
  const Track &t = *ref->track;
  const bool edgeOK = (flags & nextTimeEdgeOK) != 0;
  const bool backwards = rate < 0;
  int64_t found = -1, duration = 0;
  if (flags & (nextTimeTrackEdit | nextTimeMediaEdit)) {
    // Edit starts, empty edits included; the duration is the edit's.
    int64_t start = 0;
    for (const EditSegment &e : t.edits) {
      const int64_t length = std::max<int64_t>(0, e.movieDuration);
      const bool after = edgeOK ? start >= time : start > time;
      const bool before = edgeOK ? start <= time : start < time;
      if (length > 0 && (backwards ? before : after)) {
        found = start;
        duration = length;
        if (!backwards) break;
      }
      if (__builtin_add_overflow(start, length, &start)) break;
    }
  } else if (flags & (nextTimeMediaSample | nextTimeSyncSample)) {
    if (!t.NextSampleTime(time, open->model.timeScale, edgeOK, backwards, &found, &duration)) found = -1;
  }
  if (found < 0) return;
  if (interestingTime) *interestingTime = ClampTime(found);
  if (interestingDuration) *interestingDuration = ClampTime(duration);
}

TimeValue MovieToolbox::TrackTimeToMediaTime(TimeValue value, ::Track track) {
  const TrackRef *ref = nullptr;
  auto open = FindTrack(track, &ref);
  if (!open) {
    SetLastMoviesError(invalidTrack);
    return -1;
  }
  SetLastMoviesError(noErr);
  int64_t media = -1;
  if (!ref->track->MovieToMediaTime(value, open->model.timeScale, &media)) return -1;
  return ClampTime(media);
}

// Gathers the samples that one call hands out, starting with the one that
// covers `time`: consecutive samples with the same description, duration and
// flags whose bytes follow each other, within the byte and count limits.
// Sound samples of any size are gathered; other media only gather samples of
// equal size (fixed-size frames), so a compressed video frame comes alone.
OSErr MovieToolbox::CollectRun(const MediaRef &ref, int64_t time, int64_t maxBytes, uint64_t maxCount, Run *run) {
  const SampleTable &table = ref.media->samples;
  uint32_t index;
  if (!table.SampleAtTime(time, &index)) return invalidTime;
  if (!table.Sample(index, &run->first)) return invalidTime;
  const SampleRecord &first = run->first;
  if (int64_t(first.size) > maxBytes) return maxSizeToGrowTooSmall;
  run->count = 1;
  run->bytes = first.size;
  bool sound = ref.media->handlerType == kSoundMediaType;
  uint64_t end = first.position + first.size;
  SampleRecord next;
  while ((maxCount == 0 || run->count < maxCount) && table.Sample(index + run->count, &next)) {
    if (next.descriptionIndex != first.descriptionIndex || next.decodeDuration != first.decodeDuration ||
        next.flags != first.flags || next.displayOffset != first.displayOffset || next.position != end ||
        (!sound && next.size != first.size) || int64_t(run->bytes + next.size) > maxBytes)
      break;
    ++run->count;
    run->bytes += next.size;
    end += next.size;
  }
  return noErr;
}

OSErr MovieToolbox::ReadRun(const OpenMovie &open, const MediaRef &ref, const Run &run, uint8_t *dst) {
  (void)open;
  const DataSource &data = ref.media->data;
  if (run.bytes == 0) return noErr;
  if (data.blob) {
    const std::vector<uint8_t> &blob = *data.blob;
    if (run.first.position > blob.size() || run.bytes > blob.size() - run.first.position) return invalidSampleTable;
    std::memcpy(dst, blob.data() + run.first.position, size_t(run.bytes));
    return noErr;
  }
  if (!ref.file) return couldNotResolveDataRef;
  return ref.file->ReadAt(run.first.position, dst, size_t(run.bytes));
}

OSErr MovieToolbox::GetMediaSample(::Media media, Handle dataOut, SInt32 maxSizeToGrow, SInt32 *size, TimeValue time,
                                   TimeValue *sampleTime, TimeValue *durationPerSample, SampleDescriptionHandle descH,
                                   SInt32 *descIndex, SInt32 maxNumberOfSamples, SInt32 *numberOfSamples,
                                   SInt16 *sampleFlags) {
  if (size) *size = 0;
  if (numberOfSamples) *numberOfSamples = 0;
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  OSErr err = noErr;
  Run run;
  if (!open) {
    err = invalidMedia;
  } else if (maxSizeToGrow < 0 || maxNumberOfSamples < 0) {
    err = paramErr;
  } else {
    int64_t limit = maxSizeToGrow > 0 ? int64_t(maxSizeToGrow) : kMaxSampleBytes;
    err = CollectRun(*ref, time, limit, uint64_t(maxNumberOfSamples), &run);
    if (err == maxSizeToGrowTooSmall && size) *size = SInt32(std::min<uint64_t>(run.first.size, INT32_MAX));
  }
  if (err == noErr && dataOut) {
    MemoryManager &mm = MemoryManager::Instance();
    err = mm.SetHandleSize(dataOut, int64_t(run.bytes));
    if (err == noErr) err = ReadRun(*open, *ref, run, reinterpret_cast<uint8_t *>(*dataOut));
  }
  if (err == noErr && descH) err = CopyDescription(*ref, run.first.descriptionIndex, reinterpret_cast<Handle>(descH));
  if (err == noErr) {
    if (size) *size = SInt32(run.bytes);
    if (sampleTime) *sampleTime = ClampTime(run.first.decodeTime);
    if (durationPerSample) *durationPerSample = ClampTime(run.first.decodeDuration);
    if (descIndex) *descIndex = SInt32(run.first.descriptionIndex);
    if (numberOfSamples) *numberOfSamples = SInt32(run.count);
    if (sampleFlags) *sampleFlags = SInt16(run.first.flags & 0xFFFF);
  }
  SetLastMoviesError(err);
  return err;
}

OSErr MovieToolbox::GetMediaSample2(::Media media, UInt8 *dataOut, ByteCount maxDataSize, ByteCount *size,
                                    TimeValue64 decodeTime, TimeValue64 *sampleDecodeTime,
                                    TimeValue64 *decodeDurationPerSample, TimeValue64 *displayOffset,
                                    SampleDescriptionHandle descH, ItemCount *descIndex, ItemCount maxNumberOfSamples,
                                    ItemCount *numberOfSamples, MediaSampleFlags *sampleFlags) {
  if (size) *size = 0;
  if (numberOfSamples) *numberOfSamples = 0;
  const MediaRef *ref = nullptr;
  auto open = FindMedia(media, &ref);
  OSErr err = noErr;
  Run run;
  if (!open) {
    err = invalidMedia;
  } else {
    // Without a buffer the call only reports; with one, it must fit.
    int64_t limit = dataOut ? int64_t(maxDataSize) : kMaxSampleBytes;
    err = CollectRun(*ref, decodeTime, limit, maxNumberOfSamples, &run);
    if (err == maxSizeToGrowTooSmall && size) *size = run.first.size;
  }
  if (err == noErr && dataOut) err = ReadRun(*open, *ref, run, dataOut);
  if (err == noErr && descH) err = CopyDescription(*ref, run.first.descriptionIndex, reinterpret_cast<Handle>(descH));
  if (err == noErr) {
    if (size) *size = ByteCount(run.bytes);
    if (sampleDecodeTime) *sampleDecodeTime = run.first.decodeTime;
    if (decodeDurationPerSample) *decodeDurationPerSample = run.first.decodeDuration;
    if (displayOffset) *displayOffset = run.first.displayOffset;
    if (descIndex) *descIndex = run.first.descriptionIndex;
    if (numberOfSamples) *numberOfSamples = run.count;
    if (sampleFlags) *sampleFlags = run.first.flags;
  }
  SetLastMoviesError(err);
  return err;
}

OSErr MovieToolbox::GetSoundDescriptionExtension(SoundDescriptionHandle desc, Handle *extension, OSType idType) {
  if (extension) *extension = nullptr;
  if (!desc || !extension) {
    SetLastMoviesError(paramErr);
    return paramErr;
  }
  MemoryManager &mm = MemoryManager::Instance();
  Handle h = reinterpret_cast<Handle>(desc);
  Size n = mm.GetHandleSize(h);
  if (OSErr e = LastMemError(); e != noErr) {
    SetLastMoviesError(e);
    return e;
  }
  // Searched in a private copy so that the registry lock is not held while
  // walking the atoms; descriptions are small.
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  if (n > 0) std::memcpy(bytes.data(), *h, size_t(n));
  auto payload = FindHostExtension(bytes, kSoundMediaType, idType);
  if (!payload) {
    SetLastMoviesError(userDataItemNotFound);
    return userDataItemNotFound;
  }
  Handle out = mm.NewHandle(int64_t(payload->size()));
  if (!out) {
    SetLastMoviesError(memFullErr);
    return memFullErr;
  }
  if (!payload->empty()) std::memcpy(*out, payload->data(), payload->size());
  *extension = out;
  SetLastMoviesError(noErr);
  return noErr;
}

std::shared_ptr<const Movie> MovieToolbox::MovieModel(::Movie movie) {
  auto open = FindMovie(movie);
  if (!open) return nullptr;
  return std::shared_ptr<const Movie>(open, &open->model);
}

size_t MovieToolbox::OpenMovieCount() {
  std::shared_lock lock(registryMutex_);
  return movies_.size();
}

size_t MovieToolbox::OpenFileCount() {
  std::lock_guard lock(filesMutex_);
  return files_.size();
}

}  // namespace tp::qt
