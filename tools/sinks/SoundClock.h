// SoundClock: the clock of an audio renderer, kept by the sound it has
// consumed. The device starts playing with the first buffer after a reset
// and plays the queued frames at the stream's rate without a pause; when
// the queue runs dry it waits for the next buffer, and the clock waits with
// it. Its reading is the first buffer's start stamp plus the frames played
// divided by the rate, so a source whose stamps run ahead of the sound it
// sends shows up as a clock that falls behind the stamps.
//
// Times are stream times (100 ns units since the run's start, as the graph
// clock minus the run's start time gives them).
//
// Threads: Queue and Reset on the audio streaming thread, Read on any
// (the video renderer's thread reads it for each frame). One lock, a leaf.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "tpsink/Renderer.h"

namespace tp::sinks {

class SoundClock {
 public:
  // Forget what was queued (a discontinuity: the start of a run or a seek).
  void Reset();
  // `frames` frames at `rate` frames per second reach the device at stream
  // time `now`; `stamp` is the buffer's start time (only the first one after
  // a reset sets the clock's origin).
  void Queue(REFERENCE_TIME now, REFERENCE_TIME stamp, LONGLONG frames, LONG rate);
  // The stream time of the sound being heard at `now`; false before the
  // first buffer.
  bool Read(REFERENCE_TIME now, REFERENCE_TIME *position);

 private:
  // The device plays without a pause from m_restartAt on; what it played
  // before is m_before frames, counted whole, so no rounding accumulates.
  tp::sink::CritSec m_lock;  // leaf: nothing else is taken while it is held
  bool m_started = false;
  LONG m_rate = 0;
  REFERENCE_TIME m_origin = 0;     // the first buffer's stamp
  REFERENCE_TIME m_restartAt = 0;  // when the device last started from dry
  LONGLONG m_before = 0;           // frames played before m_restartAt
  LONGLONG m_since = 0;            // frames queued since m_restartAt
};

}  // namespace tp::sinks
