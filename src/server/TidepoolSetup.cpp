#include "server/TidepoolSetup.h"

#include <uuids.h>

#include <tidepool/Tidepool.h>

namespace {

// Equal to MERIT_DO_NOT_USE: the graph never picks a source filter by merit;
// it takes the one that the file's extension names.
constexpr DWORD kTidepoolMerit = 0x00200000;

const AMOVIESETUP_MEDIATYPE sudAudioType = {&MEDIATYPE_Audio, &MEDIASUBTYPE_NULL};
const AMOVIESETUP_MEDIATYPE sudVideoType = {&MEDIATYPE_Video, &MEDIASUBTYPE_NULL};

WCHAR kAudioPinName[] = TEXT("Audio");
WCHAR kVideoPinName[] = TEXT("Video");

const AMOVIESETUP_PIN sudPins[] = {
    {kAudioPinName, TRUE, TRUE, FALSE, FALSE, &CLSID_NULL, TEXT("Input"), 1, &sudAudioType},
    {kVideoPinName, TRUE, TRUE, FALSE, FALSE, &CLSID_NULL, TEXT("Input"), 1, &sudVideoType},
};

}  // namespace

const AMOVIESETUP_FILTER sudTidepool = {&CLSID_Tidepool, TEXT("Tidepool"), kTidepoolMerit, 2, sudPins};

const WCHAR *const kTidepoolExtensions[] = {
    TEXT(".264"), TEXT(".3g2"), TEXT(".3gp"), TEXT(".3gp2"), TEXT(".aif"), TEXT(".aiff"), TEXT(".amr"), TEXT(".cif"),
    TEXT(".dif"), TEXT(".dv"),  TEXT(".flc"), TEXT(".m4a"),  TEXT(".m4v"), TEXT(".mov"),  TEXT(".mp4"), TEXT(".qt"),
};
const int kTidepoolExtensionCount = sizeof kTidepoolExtensions / sizeof kTidepoolExtensions[0];
