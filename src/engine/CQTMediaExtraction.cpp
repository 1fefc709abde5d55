#include "engine/CQTMediaExtraction.h"

#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "framework/RefTime.h"

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

void CQTMediaExtraction::HandPcmToGrabber(IMediaSampleGrabber *grabber, LPCTSTR name, const WAVEFORMATEX &format,
                                          BYTE *data, LONG bytes, LONGLONG start, LONGLONG length) const {
  HRESULT hr = S_OK;
  CMediaSample sample(name, nullptr, &hr, data, bytes);
  sample.SetActualDataLength(bytes);
  REFERENCE_TIME startTime = UnitsToRefTime(start, timeScale);
  REFERENCE_TIME stopTime = UnitsToRefTime(start + length, timeScale);
  sample.SetTime(&startTime, &stopTime);
  AVSampleData record;
  record.isAudio = 1;
  record.startTime = startTime;
  record.stopTime = stopTime;
  record.sample = &sample;
  record.audioFormat = &format;
  grabber->OnSample(1, &record, 0);
}
