// GWorld: an off-screen graphics world of the runtime. A world is a block of
// pixels in one of the layouts described in QuickTime/ImageCompression.h,
// either owned by the world (QTNewGWorld) or borrowed from a DIB section
// (NewGWorldFromHBITMAP; the section must outlive the world, as on Windows).
//
// Worlds are shared: the API hands out the world's address as its GWorldPtr
// and the address of its pixel-map pointer as its PixMapHandle; a registry of live worlds vouches for both
// before they are used, so a disposed or foreign pointer is refused. A
// decompression sequence keeps its own reference, so disposing the world
// while a sequence draws into it never frees the pixels under it.
//
// Pictures go where the pixel map's baseAddr points: the world's own memory
// at first, or memory of the owner's (QuickTime/ImageCompression.h).
//
// Thread-safety: the registry is guarded by a leaf lock. The pixels and the
// pixel map are not locked: one sequence draws into a world, and its owner
// reads it, or points it elsewhere, between frames.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <QuickTime/ImageCompression.h>
#include <QuickTime/MacErrors.h>

#include "pixels/PixelFormats.h"

namespace tp::qt {

// Where the picture's rows start: planes and signed strides in picture order
// (row 0 is the top row), ready for libswscale.
struct DrawTarget {
  PixelLayout format = PixelLayout::kNone;
  int width = 0, height = 0;
  uint8_t *data[3] = {};
  int linesize[3] = {};
};

class GWorld {
 public:
  ~GWorld();
  GWorld(const GWorld &) = delete;
  GWorld &operator=(const GWorld &) = delete;

  // Makes a world owning zeroed memory. paramErr for a null or empty
  // rectangle, cDepthErr for an unknown format, memFullErr past 1 GiB.
  static OSErr Create(uint32_t pixelFormat, const Rect *bounds, std::shared_ptr<GWorld> *out);
  // Makes a world over a DIB section's bits. paramErr when the handle is not
  // a live DIB section, cDepthErr for a bit count other than 16, 24 and 32.
  static OSErr CreateOnDib(void *hbitmap, std::shared_ptr<GWorld> *out);

  uint32_t pixelFormat() const { return pixelFormat_; }
  PixelLayout layout() const { return layout_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int64_t rowBytes() const { return rowBytes_; }
  // Where the pixel map points now (the world's own memory unless its owner
  // moved it).
  uint8_t *baseAddress() const { return reinterpret_cast<uint8_t *>(pixMap_.baseAddr); }
  bool bottomUp() const { return bottomUp_; }
  // Where the next picture goes, at the pixel map's base address; a 'y420'
  // world writes its header there first. No planes when baseAddr is null.
  DrawTarget Target();

  GWorldPtr AsPort() { return reinterpret_cast<GWorldPtr>(this); }
  PixMapHandle AsPixMap() { return &pixMapPtr_; }
  void SetLocked(bool locked) { locked_ = locked; }
  bool locked() const { return locked_; }

 private:
  GWorld() = default;
  void FillPixMap(int bitsPerPixel);

  PixMap pixMap_{};
  PixMap *pixMapPtr_ = &pixMap_;  // *PixMapHandle
  uint32_t pixelFormat_ = 0;
  PixelLayout layout_ = PixelLayout::kNone;
  int width_ = 0, height_ = 0;
  int64_t rowBytes_ = 0;
  uint8_t *base_ = nullptr;   // the world's own pixels
  uint8_t *owned_ = nullptr;  // freed with the world; null over a DIB
  bool bottomUp_ = false;
  std::atomic<bool> locked_ = false;
  Planar420Layout planar_;
};

// Registry of live worlds (what the API's pointers may name).
void RegisterWorld(const std::shared_ptr<GWorld> &world);
std::shared_ptr<GWorld> FindWorld(GWorldPtr port);
std::shared_ptr<GWorld> FindWorldByPixMap(PixMapHandle pm);
// Removes the world; false when it was not live.
bool UnregisterWorld(GWorldPtr port);
size_t LiveWorldCount();

// The API, as the dispatcher calls it.
OSErr QTNewGWorld(GWorldPtr *offscreenGWorld, OSType pixelFormat, const Rect *boundsRect);
OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, void *hbitmap);
PixMapHandle GetGWorldPixMap(GWorldPtr world);
Boolean LockPixels(PixMapHandle pm);
void UnlockPixels(PixMapHandle pm);
void DisposeGWorld(GWorldPtr world);
Ptr GetPixBaseAddr(PixMapHandle pm);
SInt32 QTGetPixMapHandleRowBytes(PixMapHandle pm);

}  // namespace tp::qt
