// The copy of a sample record: what AVSampleData::CopyTo does once the
// source filter has installed it (the engine builds the records, so the
// record's virtual table lives there; the copy record's layout is the host's
// contract, include/tidepool/Tidepool.h, and so lives here).
//
// CopyAVSampleData writes the header, the format block and the sample bytes
// into the caller's buffer. Video frames are repacked row by row into a
// tightly laid out image; audio and unknown layouts are copied as they are.
// Nothing is ever written past `size`, and nothing is read past the sample's
// data length when the record carries no plane pointers.
//
// Threads: runs on the caller's thread (a pin's worker during a grabber
// callback); touches only the record, its sample and the buffer; no lock,
// no allocation.
#pragma once

#include <windows.h>

class AVSampleData;

// Results: 0 on success (also for an empty sample); -1 when the sample's
// data pointer cannot be had (buffer untouched), for a null buffer, for a
// format block larger than TpRecordMaxFormatSize (buffer untouched), for a
// buffer too small for the header and format (untouched) or for the data
// (header written, its dataLength saying how many data bytes are needed),
// and for a sample without plane pointers that holds fewer bytes than its
// image (header written). Each failure except the first is traced.
LONG CopyAVSampleData(AVSampleData *record, BYTE *buffer, unsigned size);

// Makes AVSampleData::CopyTo use CopyAVSampleData. Idempotent and safe from
// any thread; the grabber calls it from its constructor, so the copy is in
// place before any record can reach a host.
void InstallAVSampleDataCopy();
