#include "engine/CQTMediaExtraction.h"

CQTMediaExtraction::CQTMediaExtraction(Movie theMovie)
    : movie(theMovie), media(nullptr), duration(0), maxSampleSize(0), position(0), lastDuration(0), timeScale(1000) {}

LONGLONG CQTMediaExtraction::GetDuration() { return static_cast<LONGLONG>(duration); }

LONG CQTMediaExtraction::GetTimeScale() { return timeScale; }

void CQTMediaExtraction::SetPosition(LONGLONG *time) {
  if (time != nullptr) position = *time;
}

LONG CQTMediaExtraction::GetBufferSize() { return 0; }

void CQTMediaExtraction::SetOutputSubtype(const GUID *) {}

LONG CQTMediaExtraction::SetSampleGrabber(IMediaSampleGrabber *) { return 0; }
