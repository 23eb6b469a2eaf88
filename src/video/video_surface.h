// CVideoSurface: one off-screen picture of the video pipeline with the
// operations that every picture needs (text, borders, BMP files). The
// renderer's screen-sized back surface is a plain CVideoSurface; every
// channel decoder is one too.
//
// Nothing here locks: whoever writes or reads the pixels holds the renderer
// lock (see renderer.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/surface.h"

namespace zarvion {

// Where the pipeline's files go: a local folder (UTF-8, '/'), read at the
// moment of use. The window binds it to the settings store.
using FolderSource = std::function<std::string()>;

// The lock description: lpSurface points at the pixels while the surface is
// locked and is null when the lock failed.
struct SurfaceDesc {
  uint8_t* lpSurface = nullptr;
  int dwWidth = 0;
  int dwHeight = 0;
  int lPitch = 0;
};

class CVideoSurface {
 public:
  CVideoSurface() = default;
  virtual ~CVideoSurface() = default;
  CVideoSurface(const CVideoSurface&) = delete;
  CVideoSurface& operator=(const CVideoSurface&) = delete;

  // Creates the width x height surface. False (and nothing changed) when it
  // cannot be had.
  [[nodiscard]] virtual bool Create(int width, int height);

  // Fills ddsd with the surface's pixels and size, or clears it when there
  // is no surface; true when ddsd.lpSurface is set, which is what callers
  // test.
  bool LockSurface();
  void UnlockSurface();

  // One line of UTF-8 text, top-left of its cell at (x, y), transparent
  // background, colour as COLORREF 0x00BBGGRR. False without a surface or
  // text.
  bool DrawTextAt(const Font* font, const char* text, int x, int y, uint32_t colorref);
  // One-pixel outline inside (left, top, right, bottom), clipped to the
  // surface.
  void DrawBorder(int left, int top, int right, int bottom, uint32_t pixel);
  // A 32-bit bottom-up BMP of the whole surface. False when the file could
  // not be written whole; no file is then left (the surface itself is never
  // changed) and `error`, if given, holds the errno (0: no picture to save).
  [[nodiscard]] bool SaveBitmap(const std::string& fileName, int* error = nullptr);

  void Fill(uint32_t pixel);

  std::unique_ptr<Surface> pSurface;  // null until created
  SurfaceDesc ddsd;
  Rect rcSurface{0, 0, 64, 64};
};

}  // namespace zarvion
