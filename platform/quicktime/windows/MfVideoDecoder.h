// MfVideoDecoder: H.264, HEVC, AV1 and MPEG-4 part 2 through the system's
// Media Foundation decoder for each (on Windows, HEVC and AV1 come with
// optional system extensions).
//
// Set-up: per codec (MfVideoFormat.h). H.264's 'avcC' set-up bytes
// (length-prefixed samples, as in .mp4/.mov) are turned into start codes
// with the parameter sets in front of every run's first sample; without
// 'avcC' the samples are taken as a byte stream. HEVC goes the same way
// from 'hvcC', AV1 as an OBU stream with the sequence header of 'av1C',
// MPEG-4 part 2 with its VOL header. Every H.264 SPS fed (from 'avcC' or
// in band) says BT.601 in its colour description (AvcSpsColour.h): a
// decoder that would convert an HD or BT.709 stream's pictures to BT.601 in
// its own pipeline (Wine's does) then hands them out as decoded.
//
// Two ways to drive it, one per run of samples (a run starts at creation
// and after Flush or Drain):
//
// Deferred (Send, Receive, Drain, Flush; the runtime's deferred pictures):
// one decoder instance fed forward in decode order, with its own threads
// and reordering; each picture it hands out is matched to its sample by
// display order (DisplayOrderMatcher), never by the stamps it hands back,
// which Wine's decoder rewrites. No picture is decoded twice. Where the
// decoder ignores drain and flush (Wine's does both), a flush starts a new
// decoder instance at the next sample, and a drain feeds copies of the last
// IDR until every picture sent has come out (a decoder hands out everything
// before an IDR), drops the pictures of the copies, and starts a new
// instance after.
//
// Synchronous (Decode, LastPicture): a caller that needs each sample's own
// picture before it sends the next. Every sample goes in with a stamp that
// follows display order (H.264: its picture order count, above every stamp
// of the runs before; the other codecs, whose picture order is not read
// here: decode order, which the system's decoders hand back with each
// picture), and the picture that comes out with the sample's stamp is
// its own. A decoder that hands each picture out while its sample goes in
// (a low-latency decoder) is used as it is. Once a decoder has held a
// picture back, each picture asked for is made by replay: a new instance is
// fed the run so far (kept for this, bounded; pictures that no other refers
// to are left out) and then copies of an IDR until the picture comes out,
// so the k-th sample of a run costs k + 1 samples: slow on long runs, and
// the reason the deferred way exists. A sample past the bound keeps the
// last picture. A run starts at every IDR and where decoding resumes at an
// intra picture that does not follow on (a seek in a stream with open
// GOPs), so a seek needs no call of its own.
//
// Pictures are taken in the decoder's own output layout (planar 4:2:0 or
// NV12 as it hands them out, else YUY2; P010, which decoders of 10-bit
// HEVC and AV1 may offer alone, narrowed to NV12), cropped to the stream's display
// aperture, with the buffer's own pitch, and drawn by PixelConvert: no
// colour conversion runs between the decoder and the world.
//
// The deferred way hands out the decoder's own output sample as the
// picture (no copy until it is drawn) where the samples are the caller's
// to give, and takes it back for a later picture once drawn; the samples a
// decoder allocates itself are copied out, as the synchronous way's are.
//
// Ownership: owns the transform and the pictures it hands out; a picture
// from LastPicture stays valid until the next call, one from Receive is the
// caller's. Not thread-safe: its owner serialises calls (any thread).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <QuickTime/MacErrors.h>

#include "codecs/DisplayOrderMatcher.h"
#include "pixels/GWorld.h"
#include "codecs/SystemCodecSetup.h"
#include "codecs/VideoDecoder.h"
#include "MfTransform.h"
#include "MfVideoFormat.h"

namespace tp::qt {

enum class MfPictureLayout { kI420, kNV12, kYUY2 };

// A decoded picture in memory of its own, cropped to the display size.
// I420: Y, Cb, Cr planes (YV12 output has its chroma planes swapped into
// this order); NV12: Y, then Cb,Cr pairs; YUY2: one plane.
struct MfPicture {
  MfPictureLayout layout = MfPictureLayout::kI420;
  int width = 0, height = 0;
  int64_t time = 0;  // the stamp its sample was fed with
  int planeCount = 0;
  size_t offsets[3] = {};
  int strides[3] = {};
  bool fullRange = false;  // Y'CbCr in 0..255 (see Picture)
  std::vector<uint8_t> bytes;
  const uint8_t *plane(int i) const { return bytes.data() + offsets[i]; }
};

// Where a decoded picture sits in the decoder's buffers, from its output
// type: the layout, the coded frame, the default stride (0: none given),
// the display aperture's corner, and the size of the picture shown.
struct MfFrameGeometry {
  // kP010: NV12 of 16-bit samples (10-bit streams), narrowed to 8 bits as
  // it is copied out.
  enum class Source { kI420, kYV12, kNV12, kYUY2, kP010 };
  Source layout = Source::kI420;
  int frameWidth = 0, frameHeight = 0, defaultStride = 0, cropX = 0, cropY = 0;
  int width = 0, height = 0;
  bool fullRange = false;  // the pictures are Y'CbCr in 0..255 (see Picture)
};

// Draws `pic` as VideoDecoder::Draw does.
OSErr DrawMfPicture(const MfPicture &pic, const DrawTarget &target, int *width, int *height);

struct MfPicturePool;

struct MfVideoSetup {
  MfVideoCodec codec = MfVideoCodec::kH264;
  // 'avcC', 'hvcC', 'av1C' or MPEG-4 part 2's decoder configuration; empty:
  // the samples carry their own (MfVideoFormat.h).
  std::vector<uint8_t> config;
  int width = 0, height = 0;  // the description's picture size
};

class MfVideoDecoder {
 public:
  // noCodecErr when the system has no decoder for the codec, codecErr when
  // it will not take the stream's types, badImageDescription for damaged
  // set-up bytes or an empty size.
  static OSErr Create(const MfVideoSetup &setup, std::unique_ptr<MfVideoDecoder> *out);
  ~MfVideoDecoder();

  // The synchronous way. Decodes one sample (decode order); its picture is
  // made when LastPicture asks for it. codecBadDataErr when the sample's
  // NAL lengths run past it (nothing is fed); codecErr when the decoder
  // fails.
  OSErr Decode(std::span<const uint8_t> sample);
  // The picture of the last sample decoded; when the decoder gave none for
  // it (a damaged sample, one too far from its IDR) the picture before it,
  // and null when there never was one; *own (optional) says which. codecErr
  // when the decoder fails.
  // Samples whose pictures are never asked for (on the way to a seek
  // point) cost no replay.
  OSErr LastPicture(const MfPicture **picture, bool *own = nullptr);

  // The deferred way; see VideoDecoder.h for the contract. Send:
  // codecBadDataErr when the sample's NAL lengths run past it, codecErr
  // when the decoder fails (the sample was not taken either way).
  OSErr Send(std::span<const uint8_t> sample, uint64_t tag, int64_t displayTime);
  bool Receive(VideoDecoder::Output *out);
  OSErr Drain();
  void Flush();
  // The most samples the decoder may hold: the deepest reordering H.264
  // and HEVC allow (AV1 holds no more) plus a picture per decoding thread
  // the system may run.
  int MaxDelay() const;

  struct Stats {
    int64_t fed = 0, pictures = 0, replays = 0, replayed = 0, fillers = 0, instances = 1;
  };
  const Stats &stats() const { return stats_; }

 private:
  MfVideoDecoder() = default;
  // Makes a decoder with this stream's types; `lowLatency` asks it to hand
  // each picture out as soon as it can (the synchronous way).
  OSErr Open(MfTransform *mft, bool lowLatency) const;
  // Replaces the decoder by a new instance, started.
  OSErr Reopen(bool lowLatency);
  // Turns a sample into the byte stream fed (scratch_), the parameter sets
  // in front where a run starts, and gives its stamp and picture order.
  OSErr Prepare(std::span<const uint8_t> sample, AvcPictureOrder::Picture *order, int64_t *stamp);
  // The same for the codecs other than H.264 (MfVideoFormat): stamps in
  // decode order, a run restarting wherever decoding can start.
  OSErr PrepareOther(std::span<const uint8_t> sample, AvcPictureOrder::Picture *order, int64_t *stamp);
  HRESULT FeedOne(std::span<const uint8_t> data, int64_t time, bool discontinuity);
  // Pulls every picture the decoder will give now: the synchronous way
  // keeps the wanted one, the deferred way hands each to the matcher.
  HRESULT PullAll();
  HRESULT Keep(IMFSample *sample);
  // Copies a decoded sample into `pic`; false when the buffer is smaller
  // than its type says (not a picture we can read).
  HRESULT ReadPicture(IMFSample *sample, MfPicture *pic, bool *fits);
  // The deferred way's picture: the decoder's sample itself, drawn from
  // when asked and then handed back for the next picture, where the
  // samples are ours; else a copy.
  HRESULT TakePicture(ComRef<IMFSample> sample, std::unique_ptr<PictureSnapshot> *out, bool *fits);
  HRESULT ReadGeometry();
  OSErr Replay();

  MfTransform mft_;
  MfVideoFormat format_;
  std::vector<uint8_t> parameterSets_;
  int nalLengthSize_ = 0;   // 0: byte stream
  bool fullRange_ = false;  // the stream's SPS says full range
  int width_ = 0, height_ = 0;
  bool lowLatency_ = false;  // how the current instance was opened
  bool deferred_ = false;    // the current run goes the deferred way
  bool dirty_ = false;       // the instance has seen what the next run must not
  int64_t fedSinceOpen_ = 0;
  DisplayOrderMatcher matcher_;
  std::shared_ptr<MfPicturePool> pool_;  // memory of the pictures handed out, and output samples
  std::vector<uint8_t> runFirst_;        // the deferred run's first sample: a filler when no IDR was seen
  MfFrameGeometry geometry_;             // from the current output type

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
