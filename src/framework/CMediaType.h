// CMediaType: an AM_MEDIA_TYPE record that owns its format block, and the
// free functions that create, copy, compare and release media type records.
//
// Ownership: a CMediaType owns its format block (COM task memory) and holds
// a counted reference on pUnk; both are released by its destructor and by
// FreeMediaType. Records made by CreateMediaType are task memory as well and
// are released by DeleteMediaType, so they may cross module boundaries
// (IEnumMediaTypes::Next, IMediaSample::GetMediaType).
//
// Failures: every allocation goes through the task allocator; when it fails
// the record is left consistent (never a length without a block) and the
// caller gets E_OUTOFMEMORY, null or false as each function says.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

class CMediaType : public AM_MEDIA_TYPE {
 public:
  // An empty record: all zero except fixed-size samples and sample size 1.
  CMediaType();
  // Deep copy of rt; on allocation failure the copy has no format block
  // (phr, when given, receives E_OUTOFMEMORY).
  CMediaType(const AM_MEDIA_TYPE &rt, HRESULT *phr = nullptr);
  CMediaType(const CMediaType &rt);
  explicit CMediaType(const GUID *majortype);
  ~CMediaType();

  // Deep copy; a failed copy leaves this record without a format block.
  CMediaType &operator=(const AM_MEDIA_TYPE &rt);
  CMediaType &operator=(const CMediaType &rt);
  // Same major type, subtype and format type, and byte-equal format blocks
  // of equal length. Flags, sample size and pUnk are not compared.
  bool operator==(const CMediaType &rt) const;
  bool operator!=(const CMediaType &rt) const { return !(*this == rt); }

  // Deep copy: S_OK, or E_OUTOFMEMORY (this record then has no format).
  HRESULT Set(const CMediaType &rt);
  HRESULT Set(const AM_MEDIA_TYPE &rt);

  bool IsValid() const { return !IsEqualGUID(majortype, GUID_NULL); }
  const GUID *Type() const { return &majortype; }
  void SetType(const GUID *ptype) { majortype = *ptype; }
  const GUID *Subtype() const { return &subtype; }
  void SetSubtype(const GUID *ptype) { subtype = *ptype; }
  const GUID *FormatType() const { return &formattype; }
  void SetFormatType(const GUID *pformattype) { formattype = *pformattype; }

  bool IsFixedSize() const { return bFixedSizeSamples != FALSE; }
  bool IsTemporalCompressed() const { return bTemporalCompression != FALSE; }
  ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }
  // 0 means variable-size samples (the size is then left as it was).
  void SetSampleSize(ULONG sz);
  void SetVariableSize() { bFixedSizeSamples = FALSE; }
  void SetTemporalCompression(BOOL bCompressed) { bTemporalCompression = bCompressed; }

  BYTE *Format() const { return pbFormat; }
  ULONG FormatLength() const { return cbFormat; }
  // Copies length bytes from pFormat into a format block of that length;
  // false when no block could be obtained.
  bool SetFormat(const BYTE *pFormat, ULONG length);
  // Releases the format block (length 0); the other fields stay.
  void ResetFormatBuffer();
  // A format block of exactly length bytes: the current one when it has
  // that length, else a new one (the old is freed). When allocation fails,
  // the current block if it holds at least length bytes (length field
  // unchanged), else null.
  BYTE *AllocFormatBuffer(ULONG length);
  // As AllocFormatBuffer, but keeps the leading bytes of the old block.
  BYTE *ReallocFormatBuffer(ULONG length);

  // Every field of this record except the flags is wildcard-free: major
  // type and format type set.
  bool IsPartiallySpecified() const;
  // This type matches the partial type ppartial: each of its major type and
  // subtype that is set must be equal; if its format type is set, format
  // type and format bytes must be equal too.
  bool MatchesPartial(const CMediaType *ppartial) const;
  void InitMediaType();
};

// Free functions over plain records -----------------------------------------

// Releases pmt's format block and pUnk; the record itself stays.
void WINAPI FreeMediaType(AM_MEDIA_TYPE &mt);
// FreeMediaType, then the record itself (task memory); null is ignored.
void WINAPI DeleteMediaType(AM_MEDIA_TYPE *pmt);
// Deep copy into pmtTarget (which must hold no format block of its own):
// S_OK, or E_OUTOFMEMORY with the target's format empty.
HRESULT WINAPI CopyMediaType(AM_MEDIA_TYPE *pmtTarget, const AM_MEDIA_TYPE *pmtSource);
// A new task-memory record holding a deep copy of pSrc; null on failure
// (nothing leaks) or when pSrc is null.
AM_MEDIA_TYPE *WINAPI CreateMediaType(const AM_MEDIA_TYPE *pSrc);

namespace tp::framework {

// Allocation seam for tests: the function used for every task-memory
// allocation in this file. Freed memory always goes to CoTaskMemFree, so a
// replacement must hand out task memory (or null). Not thread-safe to change
// while media types are in use on other threads.
using TaskAllocFn = LPVOID(STDAPICALLTYPE *)(SIZE_T);
TaskAllocFn SetMediaTypeAllocatorForTesting(TaskAllocFn alloc);

}  // namespace tp::framework
