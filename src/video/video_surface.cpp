#include "video/video_surface.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/bitmap_info.h"
#include "platform/log.h"

namespace zarvion {

bool CVideoSurface::Create(int width, int height) {
  auto surface = std::make_unique<Surface>();
  if (!surface->Create(width, height)) return false;
  pSurface = std::move(surface);
  ddsd = SurfaceDesc{};
  rcSurface = Rect{0, 0, width, height};
  return true;
}

bool CVideoSurface::LockSurface() {
  ddsd = SurfaceDesc{};
  if (!pSurface) return false;
  ddsd.lpSurface = pSurface->Lock();
  ddsd.dwWidth = pSurface->Width();
  ddsd.dwHeight = pSurface->Height();
  ddsd.lPitch = pSurface->Stride();
  return ddsd.lpSurface != nullptr;
}

void CVideoSurface::UnlockSurface() {
  if (pSurface) pSurface->Unlock();
  ddsd.lpSurface = nullptr;
}

bool CVideoSurface::DrawTextAt(const Font* font, const char* text, int x, int y,
                               uint32_t colorref) {
  if (!pSurface || !text) return false;
  return pSurface->DrawText(font, text, x, y, colorref);
}

void CVideoSurface::Fill(uint32_t pixel) {
  if (pSurface) pSurface->Fill(pixel);
}

void CVideoSurface::DrawBorder(int left, int top, int right, int bottom, uint32_t pixel) {
  LockSurface();
  if (ddsd.lpSurface) {
    const PixelView view{ddsd.lpSurface, ddsd.dwWidth, ddsd.dwHeight, ddsd.dwWidth * 4};
    DrawOutline(view, Rect{left, top, right, bottom}, view.Bounds(), pixel);
  }
  UnlockSurface();
}

bool CVideoSurface::SaveBitmap(const std::string& fileName, int* errorOut) {
  const int w = rcSurface.right, h = rcSurface.bottom;
  const uint32_t imageBytes = static_cast<uint32_t>(w) * static_cast<uint32_t>(h) * 4;
  uint8_t header[54] = {};
  uint8_t* p = header;
  p = PutLe16(p, 0x4D42);
  p = PutLe32(p, 54 + imageBytes);
  p = PutLe32(p, 0);
  p = PutLe32(p, 54);
  PutBitmapInfoHeader(p, MakeBitmapInfoHeader(w, h, 32, kBiRgb, imageBytes));

  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(fileName.c_str(), "wb"), &std::fclose);
  if (!file) {
    const int error = errno;
    Log(LogCategory::kRecording, LogSeverity::kWarning, "snapshot %s: cannot create: %s",
        fileName.c_str(), ErrnoText(error).c_str());
    if (errorOut) *errorOut = error;
    return false;
  }
  bool ok = std::fwrite(header, sizeof header, 1, file.get()) == 1;
  int error = ok ? 0 : errno;
  LockSurface();
  // The rows go bottom-up, straight from the surface.
  const bool pictured = ddsd.lpSurface && ddsd.dwWidth == w && ddsd.dwHeight == h;
  if (pictured) {
    for (int i = 0; i < h && ok; ++i) {
      const uint8_t* src = ddsd.lpSurface + static_cast<size_t>(h - 1 - i) * w * 4;
      ok = std::fwrite(src, static_cast<size_t>(w) * 4, 1, file.get()) == 1;
    }
    if (!ok && error == 0) error = errno;
  } else {
    ok = false;
  }
  UnlockSurface();
  const bool closed = std::fclose(file.release()) == 0;
  if (!closed && error == 0) error = errno;
  ok = closed && ok;
  // A bitmap that is not whole (full disk, no picture) is worse than none:
  // it claims a size it does not have.
  if (!ok) {
    Log(LogCategory::kRecording, LogSeverity::kWarning, "snapshot %s: %s", fileName.c_str(),
        pictured ? ("cannot write: " + ErrnoText(error)).c_str() : "no picture to save");
    std::remove(fileName.c_str());
  }
  if (errorOut) *errorOut = ok ? 0 : error;
  return ok;
}

}  // namespace zarvion
