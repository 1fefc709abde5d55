// GraphHost: what the DirectShow host commands (info, convert, play) share.
// A graph made through CoCreateInstance(CLSID_FilterGraph), the movie's
// source filter found by extension in the registry, created by its class id
// and loaded, its output pins with the types they offer, and one clear line
// for each way that opening can fail. Only COM, the registry and
// DirectShow's interfaces are used, and nothing that one graph manager does
// differently from another (which source it picks, what WaitForCompletion
// reports after a second Run), so the same code runs against our graph
// manager and against Windows' own.
//
// Ownership: the host holds one reference on each interface it keeps and
// releases them when it goes. Threads: the calling thread only (COM in the
// multithreaded apartment, set up by ComScope).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>
#include <vector>

namespace tidepool {

// COM for the calling thread, for the life of the object.
class ComScope {
 public:
  ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  bool ok() const { return SUCCEEDED(m_hr); }

 private:
  HRESULT m_hr;
};

struct OutputPin {
  IPin *pin = nullptr;  // counted by the host
  std::string name;     // "Video", "Audio"
  GUID major{};
  std::vector<AM_MEDIA_TYPE *> types;  // owned copies, in offer order
};

class GraphHost {
 public:
  GraphHost() = default;
  ~GraphHost();
  GraphHost(const GraphHost &) = delete;
  GraphHost &operator=(const GraphHost &) = delete;

  // Creates the graph and adds the movie's source filter. false with
  // Error() set: the file is missing, its type is not registered, the
  // source cannot be loaded, or it has no usable track (no pins; the error
  // names the codecs nothing decodes, when that is why).
  bool Open(const std::string &file);
  const std::string &Error() const { return m_error; }

  // A track the source left out because nothing on this system decodes it
  // (from the source's IQuillLoadReport, when it has one).
  struct MissingDecoder {
    std::string kind;   // "video" or "audio"
    std::string codec;  // its four-character code
  };
  const std::vector<MissingDecoder> &MissingDecoders() const { return m_missing; }
  // "no decoder for the video codec 'av01'", or empty when that kind of
  // track was not left out.
  std::string MissingDecoderText(const std::string &kind) const;
  // "no usable video or sound track", naming the missing decoders.
  std::string NoTrackLeftText() const;

  IGraphBuilder *Graph() const { return m_graph; }
  IMediaControl *Control() const { return m_control; }
  IMediaEventEx *Events() const { return m_events; }
  IMediaSeeking *Seeking() const { return m_seeking; }
  IBaseFilter *Source() const { return m_source; }
  std::vector<OutputPin> &Pins() { return m_pins; }
  // The pin with that name, or null.
  OutputPin *Pin(const std::string &name);

  // Adds sink and connects pin to its input, with the first offered type of
  // the given subtype (GUID_NULL: let the pins agree). false with Error().
  bool Connect(OutputPin &pin, IBaseFilter *sink, const GUID &subtype);
  // No clock: the graph runs as fast as the filters go.
  bool RunWithoutClock();
  // The playback rate, through the graph and then on each source pin that
  // did not take it: not every graph manager passes a rate on to the
  // filters (Wine's keeps it for its clock alone). Stopped graphs only.
  HRESULT SetRate(double rate);
  // Waits up to ms for the graph's end, reading its events with GetEvent:
  // EC_COMPLETE, or the code of an event that stopped the graph
  // (EC_ERRORABORT, EC_USERABORT, EC_STREAM_ERROR_STOPPED); 0 when none came.
  // The event's first parameter (the failure, for an error) goes to
  // *failure when given. Events left from an earlier run are for
  // DrainEvents to drop first.
  LONG WaitForEnd(DWORD ms, HRESULT *failure = nullptr);
  // Drops every queued event.
  void DrainEvents();

  // The name of a video subtype ("RGB32", "YV12", ...), or the GUID's text.
  static std::string SubtypeName(const GUID &subtype);
  // The subtype for a name (case-insensitive); false when unknown.
  static bool SubtypeFromName(const std::string &name, GUID *subtype);
  // One line for a failed call.
  static std::string Describe(HRESULT hr);

 private:
  IGraphBuilder *m_graph = nullptr;
  IMediaControl *m_control = nullptr;
  IMediaEventEx *m_events = nullptr;
  IMediaSeeking *m_seeking = nullptr;
  IBaseFilter *m_source = nullptr;
  std::vector<OutputPin> m_pins;
  std::vector<MissingDecoder> m_missing;
  std::string m_error;
};

// Narrow (UTF-8) and wide forms of a path or name.
std::basic_string<WCHAR> Widen(const std::string &text);
std::string Narrow(const WCHAR *text);

}  // namespace tidepool
