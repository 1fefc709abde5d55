// MfVideoDecoder: H.264 through the system's Media Foundation decoder, one
// sample at a time in decode order, handing back THAT sample's own picture.
//
// Set-up: 'avcC' set-up bytes (length-prefixed samples, as in .mp4/.mov) are
// turned into start codes with the parameter sets in front of every run's
// first sample; without 'avcC' the samples are taken as a byte stream.
//
// Reordering: a decoder holds back a picture that displays after pictures
// still to come, so what comes out after a sample is fed is often not that
// sample's picture, and the caller needs exactly that one (it labels the
// picture with the sample's display time). Every sample goes in with a
// stamp that follows display order (its picture order count, read from the
// slice header, above every stamp of the runs before), and the picture that
// comes out with the sample's stamp is its picture. Stamps must go up in
// display order: the decoder behind Wine relabels pictures once it sees
// them go down. A decoder that hands each picture out while its sample goes
// in (a low-latency decoder) is used as it is.
//
// Once a decoder has held a picture back, each picture asked for is made by
// replay: a new decoder instance is fed the run so far (kept for this,
// bounded; pictures that no other refers to are left out) and then copies
// of an IDR, until the picture comes out. Draining and flushing are not
// used: Wine's decoder does neither. The cost grows with the distance from
// the run's start (the k-th sample of a run feeds up to k + 1 samples plus
// the decoder's delay in copies), so long runs decode slowly; a sample past
// the bound keeps the last picture. Samples whose pictures are never asked
// for (on the way to a seek point) are only kept. A run starts at every IDR
// and where decoding resumes at an intra picture that does not follow on
// (a seek in a stream with open GOPs), so a seek needs no call of its own.
//
// Ownership: owns the transform and the pictures it hands out; a picture
// stays valid until the next call. Not thread-safe: its owner serialises
// calls (any thread).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "../SystemCodecSetup.h"
#include "MfTransform.h"

namespace tp::qt {

enum class MfPictureLayout { kI420, kYUY2 };

// A decoded picture in memory of its own, cropped to the display size.
// I420: Y, Cb, Cr planes (NV12 and YV12 output is rearranged into it);
// YUY2: one plane.
struct MfPicture {
  MfPictureLayout layout = MfPictureLayout::kI420;
  int width = 0, height = 0;
  int64_t time = 0;  // the stamp its sample was fed with
  int planeCount = 0;
  size_t offsets[3] = {};
  int strides[3] = {};
  std::vector<uint8_t> bytes;
  const uint8_t *plane(int i) const { return bytes.data() + offsets[i]; }
};

struct MfVideoSetup {
  std::vector<uint8_t> avcC;  // empty: samples are a byte stream already
  int width = 0, height = 0;  // the description's picture size
};

class MfVideoDecoder {
 public:
  // noCodecErr when the system has no H.264 decoder, codecErr when it will
  // not take the stream's types, badImageDescription for a damaged 'avcC'
  // or an empty size.
  static OSErr Create(const MfVideoSetup &setup, std::unique_ptr<MfVideoDecoder> *out);
  ~MfVideoDecoder();

  // Decodes one sample (decode order); its picture is made when
  // LastPicture asks for it. codecBadDataErr when the sample's NAL lengths
  // run past it (nothing is fed); codecErr when the decoder fails.
  OSErr Decode(std::span<const uint8_t> sample);
  // The picture of the last sample decoded; when the decoder gave none for
  // it (a damaged sample, one too far from its IDR) the picture before it,
  // and null when there never was one; *own (optional) says which. codecErr
  // when the decoder fails.
  // Samples whose pictures are never asked for (on the way to a seek
  // point) cost no replay.
  OSErr LastPicture(const MfPicture **picture, bool *own = nullptr);

  // Forgets the run so far (a seek to a sample that is not an IDR).
  void Reset();

  struct Stats {
    int64_t fed = 0, pictures = 0, replays = 0, replayed = 0, fillers = 0;
  };
  const Stats &stats() const { return stats_; }

 private:
  MfVideoDecoder() = default;
  // Makes a decoder with this stream's types.
  OSErr Open(MfTransform *mft) const;
  HRESULT FeedOne(std::span<const uint8_t> data, int64_t time, bool discontinuity);
  // Pulls every picture the decoder will give now, keeping the wanted one.
  HRESULT PullAll();
  HRESULT Keep(IMFSample *sample);
  HRESULT ReadGeometry();
  OSErr Replay();

  MfTransform mft_;
  std::vector<uint8_t> parameterSets_;
  int nalLengthSize_ = 0;  // 0: byte stream
  int width_ = 0, height_ = 0;
  // Output geometry from the current output type.
  enum class MfSourceLayout { kI420, kYV12, kNV12, kYUY2 };
  MfSourceLayout layout_ = MfSourceLayout::kI420;
  int frameWidth_ = 0, frameHeight_ = 0, defaultStride_ = 0, cropX_ = 0, cropY_ = 0;

  struct RunSample {
    std::vector<uint8_t> annexB;
    int64_t stamp = 0;
    bool reference = true;  // a picture others may refer to
  };
  std::vector<RunSample> run_;    // since the run started, for replays
  std::vector<uint8_t> lastIdr_;  // the last IDR seen, pushes pictures out
  size_t runBytes_ = 0;
  bool runComplete_ = true;  // false once the bound dropped some
  AvcPictureOrder order_;
  int64_t runBase_ = 0;     // stamp of order 0 in the current run
  int64_t lastStamp_ = -1;  // highest stamp given so far
  int64_t wanted_ = -1;     // stamp of the picture asked for
  bool haveWanted_ = false;
  bool pending_ = false;     // the last sample's picture is still to be made
  bool hasPicture_ = false;  // current_ holds a picture
  MfPicture current_, spare_;
  bool started_ = false;
  bool discontinuity_ = true;
  bool holdsBack_ = false;  // the decoder kept a picture back once: replay from now on
  std::vector<uint8_t> scratch_;
  Stats stats_;
};

}  // namespace tp::qt
