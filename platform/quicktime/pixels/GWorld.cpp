#include "pixels/GWorld.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace tp::qt {
namespace {

class WorldRegistry {
 public:
  static WorldRegistry &Instance() {
    // A plain static so that unloading the runtime frees the table.
    static WorldRegistry registry;
    return registry;
  }
  void Add(const std::shared_ptr<GWorld> &w) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    byPort_[w->AsPort()] = w;
    byPixMap_[w->AsPixMap()] = w.get();
  }
  std::shared_ptr<GWorld> ByPort(GWorldPtr p) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = byPort_.find(p);
    return it == byPort_.end() ? nullptr : it->second;
  }
  std::shared_ptr<GWorld> ByPixMap(PixMapHandle pm) {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = byPixMap_.find(pm);
    if (it == byPixMap_.end()) return nullptr;
    auto port = byPort_.find(it->second->AsPort());
    return port == byPort_.end() ? nullptr : port->second;
  }
  bool Remove(GWorldPtr p) {
    std::shared_ptr<GWorld> gone;              // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    auto it = byPort_.find(p);
    if (it == byPort_.end()) return false;
    gone = std::move(it->second);
    byPort_.erase(it);
    byPixMap_.erase(gone->AsPixMap());
    return true;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);  // leaf lock
    return byPort_.size();
  }

 private:
  std::mutex mutex_;
  std::unordered_map<GWorldPtr, std::shared_ptr<GWorld>> byPort_;
  std::unordered_map<PixMapHandle, GWorld *> byPixMap_;
};

}  // namespace

GWorld::~GWorld() { std::free(owned_); }

OSErr GWorld::Create(uint32_t pixelFormat, const Rect *bounds, std::shared_ptr<GWorld> *out) {
  if (!bounds || !out) return paramErr;
  const int64_t width = int64_t(bounds->right) - bounds->left;
  const int64_t height = int64_t(bounds->bottom) - bounds->top;
  if (width <= 0 || height <= 0) return paramErr;
  std::optional<PixelLayout> layout = WorldPixelFormat(pixelFormat);
  if (!layout) return cDepthErr;

  std::shared_ptr<GWorld> w(new (std::nothrow) GWorld);
  if (!w) return memFullErr;
  w->pixelFormat_ = pixelFormat;
  w->layout_ = *layout;
  w->width_ = int(width);
  w->height_ = int(height);
  int64_t bytes;
  if (*layout == PixelLayout::kYUV420P) {
    w->planar_ = ComputePlanar420(width, height);
    w->rowBytes_ = w->planar_.rowBytes;
    bytes = w->planar_.blockBytes;
  } else {
    w->rowBytes_ = PackedRowBytes(*layout, width);
    bytes = w->rowBytes_ * height;  // both factors below 2^17: no overflow
  }
  if (bytes > kMaxPictureBytes) return memFullErr;
  w->owned_ = static_cast<uint8_t *>(std::calloc(size_t(bytes), 1));
  if (!w->owned_) return memFullErr;
  w->base_ = w->owned_;
  if (*layout == PixelLayout::kYUV420P) WritePlanar420Header(w->planar_, w->base_);
  w->FillPixMap(*layout == PixelLayout::kYUV420P ? 12 : PackedBytesPerPixel(*layout) * 8);
  *out = std::move(w);
  return noErr;
}

OSErr GWorld::CreateOnDib(void *hbitmap, std::shared_ptr<GWorld> *out) {
  if (!hbitmap || !out) return paramErr;
  DIBSECTION ds;
  if (GetObjectW(hbitmap, int(sizeof(ds)), &ds) != int(sizeof(ds)) || !ds.dsBm.bmBits) return paramErr;
  std::shared_ptr<GWorld> w(new (std::nothrow) GWorld);
  if (!w) return memFullErr;
  switch (ds.dsBm.bmBitsPixel) {
    case 32:
      // The DIB's own memory order: B,G,R,A, rows as the DIB keeps them.
      w->pixelFormat_ = k32ARGBPixelFormat;
      w->layout_ = PixelLayout::kBGRA;
      w->bottomUp_ = ds.dsBmih.biHeight > 0;
      break;
    case 24:
      w->pixelFormat_ = k24RGBPixelFormat;
      w->layout_ = PixelLayout::kBGR24;
      break;
    case 16:
      w->pixelFormat_ = k16LE555PixelFormat;
      w->layout_ = PixelLayout::kRGB555LE;
      break;
    default:
      return cDepthErr;
  }
  if (ds.dsBm.bmWidth <= 0 || ds.dsBm.bmHeight <= 0 || ds.dsBm.bmWidth > 0x7FFF || ds.dsBm.bmHeight > 0x7FFF)
    return paramErr;
  w->width_ = int(ds.dsBm.bmWidth);
  w->height_ = int(ds.dsBm.bmHeight);
  w->rowBytes_ = ds.dsBm.bmWidthBytes;
  w->base_ = static_cast<uint8_t *>(ds.dsBm.bmBits);
  w->FillPixMap(ds.dsBm.bmBitsPixel);
  *out = std::move(w);
  return noErr;
}

void GWorld::FillPixMap(int bitsPerPixel) {
  pixMap_.baseAddr = reinterpret_cast<Ptr>(base_);
  pixMap_.rowBytes = SInt16(0x8000 | (rowBytes_ < 0x3FFF ? rowBytes_ : 0x3FFF));
  pixMap_.bounds = Rect{0, 0, SInt16(height_), SInt16(width_)};
  pixMap_.pmVersion = 4;
  pixMap_.hRes = pixMap_.vRes = 72 << 16;
  pixMap_.pixelType = 16;  // direct pixels
  pixMap_.pixelSize = SInt16(bitsPerPixel);
  pixMap_.cmpCount = 3;
  pixMap_.cmpSize = SInt16(bitsPerPixel >= 24 ? 8 : 5);
  pixMap_.pixelFormat = pixelFormat_;
}

DrawTarget GWorld::Target() {
  DrawTarget t;
  uint8_t *base = baseAddress();
  if (!base) return t;
  t.format = layout_;
  t.width = width_;
  t.height = height_;
  if (layout_ == PixelLayout::kYUV420P) {
    WritePlanar420Header(planar_, base);
    t.data[0] = base + planar_.yOffset;
    t.data[1] = base + planar_.cbOffset;
    t.data[2] = base + planar_.crOffset;
    t.linesize[0] = int(planar_.yRowBytes);
    t.linesize[1] = t.linesize[2] = int(planar_.chromaRowBytes);
  } else if (bottomUp_) {
    t.data[0] = base + rowBytes_ * (height_ - 1);
    t.linesize[0] = -int(rowBytes_);
  } else {
    t.data[0] = base;
    t.linesize[0] = int(rowBytes_);
  }
  return t;
}

void RegisterWorld(const std::shared_ptr<GWorld> &world) { WorldRegistry::Instance().Add(world); }
std::shared_ptr<GWorld> FindWorld(GWorldPtr port) { return port ? WorldRegistry::Instance().ByPort(port) : nullptr; }
std::shared_ptr<GWorld> FindWorldByPixMap(PixMapHandle pm) {
  return pm ? WorldRegistry::Instance().ByPixMap(pm) : nullptr;
}
bool UnregisterWorld(GWorldPtr port) { return port && WorldRegistry::Instance().Remove(port); }
size_t LiveWorldCount() { return WorldRegistry::Instance().Count(); }

OSErr QTNewGWorld(GWorldPtr *offscreenGWorld, OSType pixelFormat, const Rect *boundsRect) {
  if (!offscreenGWorld) return paramErr;
  *offscreenGWorld = nullptr;
  std::shared_ptr<GWorld> w;
  OSErr err = GWorld::Create(pixelFormat, boundsRect, &w);
  if (err != noErr) return err;
  RegisterWorld(w);
  *offscreenGWorld = w->AsPort();
  return noErr;
}

OSErr NewGWorldFromHBITMAP(GWorldPtr *offscreenGWorld, void *hbitmap) {
  if (!offscreenGWorld) return paramErr;
  *offscreenGWorld = nullptr;
  std::shared_ptr<GWorld> w;
  OSErr err = GWorld::CreateOnDib(hbitmap, &w);
  if (err != noErr) return err;
  RegisterWorld(w);
  *offscreenGWorld = w->AsPort();
  return noErr;
}

PixMapHandle GetGWorldPixMap(GWorldPtr world) {
  std::shared_ptr<GWorld> w = FindWorld(world);
  return w ? w->AsPixMap() : nullptr;
}

Boolean LockPixels(PixMapHandle pm) {
  std::shared_ptr<GWorld> w = FindWorldByPixMap(pm);
  if (!w) return false;
  w->SetLocked(true);
  return true;
}

void UnlockPixels(PixMapHandle pm) {
  if (std::shared_ptr<GWorld> w = FindWorldByPixMap(pm)) w->SetLocked(false);
}

void DisposeGWorld(GWorldPtr world) { UnregisterWorld(world); }

Ptr GetPixBaseAddr(PixMapHandle pm) {
  std::shared_ptr<GWorld> w = FindWorldByPixMap(pm);
  return w ? reinterpret_cast<Ptr>(w->baseAddress()) : nullptr;
}

SInt32 QTGetPixMapHandleRowBytes(PixMapHandle pm) {
  std::shared_ptr<GWorld> w = FindWorldByPixMap(pm);
  return w ? SInt32(w->rowBytes()) : 0;
}

}  // namespace tp::qt
