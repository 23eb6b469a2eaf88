#include "video/channel_decoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "video/captions.h"
#include "video/file_names.h"
#include "video/renderer.h"

namespace zarvion {

namespace {

// Locks the renderer lock when the decoder has been given one.
class SurfaceGuard {
 public:
  explicit SurfaceGuard(std::mutex* m) : m_(m) {
    if (m_) m_->lock();
  }
  ~SurfaceGuard() {
    if (m_) m_->unlock();
  }
  SurfaceGuard(const SurfaceGuard&) = delete;
  SurfaceGuard& operator=(const SurfaceGuard&) = delete;

 private:
  std::mutex* m_;
};

}  // namespace

uint64_t RecordSplitBytes() {
  constexpr uint64_t kDefault = uint64_t{1} << 30;
  constexpr uint64_t kMost = uint64_t{3} << 30;
  const char* v = std::getenv("ZARVION_RECORD_SPLIT_BYTES");
  if (!v || !*v) return kDefault;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v, &end, 10);
  if (*end != '\0' || n == 0 || v[0] == '-') return kDefault;
  return n < kMost ? n : kMost;
}

CChannelDecoder::CChannelDecoder() = default;

CChannelDecoder::~CChannelDecoder() {
  StopRecording();
  StopEventRecording();
  if (hic) {
    hic->End();
    hic.reset();
  }
  pSurface.reset();
  pPicture.reset();
}

bool CChannelDecoder::Create(int width, int height) {
  if (!CVideoSurface::Create(width, height)) return false;
  {
    SurfaceGuard guard(pSurfaceLock);
    Fill(kPixelBlue200);
    DrawTextAt(hFont, NoSignalWord().c_str(), kNoticeX, kNoticeY, kNoticeColor);
    ++dwPictureSerial;
    shows_ = Shows::kNoSignal;
    released_ = false;
  }
  biIn = BitmapInfo{};
  biOut = BitmapInfo{};
  fccHandler = kFourCCMp43;
  const uint32_t pixels = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
  biIn.bmiHeader = MakeBitmapInfoHeader(width, height, 24, fccHandler, pixels * 24u / 8u);
  biOut.bmiHeader = MakeBitmapInfoHeader(width, height, 32, kBiRgb, pixels * 4u);

  hic = Mp43Decompressor::Open(kFourCCVidc, fccHandler, kIcModeFastDecompress);
  decodeErrors_ = std::make_unique<LogTally>(
      LogCategory::kVideo, "channel " + std::to_string(nChannel + 1) + ": frames not decoded");
  if (!hic) {
    Log(LogCategory::kVideo, LogSeverity::kError, "channel %d: no MP43 decompressor", nChannel + 1);
  }
  if (hic) {
    BitmapInfoHeader& in = biIn.bmiHeader;
    BitmapInfoHeader& out = biOut.bmiHeader;
    // A size the codec cannot take fails here and then every frame, each
    // showing the channel's notice: the surface stands all the same.
    if (hic->GetFormat(in, &out) == kIcErrOk && hic->Query(in, out) == kIcErrOk) {
      static_cast<void>(hic->Begin(in, out));
    }
  }
  return true;
}

void CChannelDecoder::Notice(uint32_t background) {
  ++dwPictureSerial;
  shows_ = Shows::kNotice;
  noticeBackground_ = background;
  // Released pixels get the notice when they are made again.
  if (released_) return;
  Fill(background);
  DrawTextAt(hFont, BufferingWord().c_str(), kNoticeX, kNoticeY, kNoticeColor);
}

int64_t CChannelDecoder::MotionNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CChannelDecoder::MotionIdle() {
  if (!pMotionBoard || !motion_.Active()) return;
  const MotionFrame f = motion_.Idle(MotionNowMs());
  if (f.ended) pMotionBoard->Update(nChannel, false, 0, motion_.PeakPermille(), false);
}

void CChannelDecoder::DetectMotion() {
  if (!pMotionBoard || !hic) return;
  MotionSettings settings;
  if (pMotionBoard->ReadSettings(nChannel, &motionSerial_, &settings)) {
    motion_.SetEnabled(settings.enabled);
    motion_.SetSensitivity(settings.sensitivity);
    motion_.SetMask(settings.mask);
    // Switched off: an event lasting ends here.
    if (!settings.enabled) {
      pMotionBoard->Update(nChannel, false, 0, motion_.PeakPermille(), false);
      pMotionBoard->SetChanged(nChannel, {});
    }
  }
  if (!motion_.Enabled()) return;
  const uint8_t* luma = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
  if (!hic->HeldLuma(&luma, &stride, &width, &height)) return;
  const MotionFrame f = motion_.Feed(luma, stride, width, height, MotionNowMs());
  pMotionBoard->Update(nChannel, f.active, f.permille, motion_.PeakPermille(), f.newPeak, luma,
                       stride, width, height);
  // What the enlarged view may show: the blocks that count.
  MotionMask counted = motion_.Changed();
  for (int r = 0; r < kMotionGrid; ++r) {
    const size_t k = static_cast<size_t>(r);
    counted[k] &= static_cast<uint16_t>(~(motion_.Mask()[k] | motion_.Learnt()[k]));
  }
  pMotionBoard->SetChanged(nChannel, counted);
}

bool CChannelDecoder::Decode(const uint8_t* data, uint32_t size, uint16_t flags) {
  if (FrameTrace* trace = pTrace.load()) {
    trace->Received(nChannel, data, size, flags);
  }
  if (!pSurface) return true;

  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  if (now > tLastTick) {
    tLastTick = now;
    nFps = nFramesThisTick;
    nFramesThisTick = 0;
    // A wrapped running total keeps the last rate for this interval.
    if (dwBytesTotal > dwBytesAtTick) {
      nBps = dwBytesTotal - dwBytesAtTick;
      dwBytesAtTick = dwBytesTotal;
    }
  }
  dwBytesTotal += size;
  nFramesThisTick += 1;

  biIn.bmiHeader.biSizeImage = size;
  if (bRecording) AppendToRecording(data, size, flags);
  KeepForEvents(data, size, flags);

  if (flags & kAviIfKeyFrame) bWaitKeyFrame = 0;
  const BitmapInfoHeader& out = biOut.bmiHeader;
  // A 32-bit picture of the surface's own size is decompressed straight
  // into it, top row first: the same pixels without a copy per frame.
  const bool direct = out.biBitCount == 32 && out.biWidth == pSurface->Width() &&
                      out.biHeight == pSurface->Height();
  int32_t r = kIcErrError;
  if (!direct && hic && data) {
    // Only a picture the decompressor cannot put on the surface itself goes
    // through here, made at the first such frame. Without it there is
    // nowhere to decompress to: the channel shows "帧缓冲" for every frame,
    // as with no decompressor at all.
    if (!pPicture) {
      pPicture.reset(new (std::nothrow) uint8_t[static_cast<size_t>(biIn.bmiHeader.biWidth) *
                                                static_cast<size_t>(biIn.bmiHeader.biHeight) * 4]);
    }
    if (pPicture) r = hic->Decompress(flags, biIn.bmiHeader, data, out, pPicture.get());
  }
  bSignal = 1;

  SurfaceGuard guard(pSurfaceLock);
  ++dwPictureSerial;
  LockSurface();
  uint8_t* dst = ddsd.lpSurface;
  // Released pixels are not needed: the picture waits in the decompressor.
  if (!dst && !(direct && released_)) {
    UnlockSurface();
    Notice(kPixelBlack);
    return false;
  }
  if (direct) {
    bPending_ = false;
    if (hic && data) {
      BitmapInfoHeader topDown = out;
      topDown.biHeight = -out.biHeight;
      // A picture is converted here only for the renderer's single view;
      // otherwise when it is read (CatchUp, Picture). Decoding goes on for
      // every frame all the same.
      r = hic->DecodeOnly(flags, biIn.bmiHeader, data, topDown);
      if (r == kIcErrOk && !bWaitKeyFrame) {
        shows_ = Shows::kPicture;
        if (released_ || bConvertOnRead.load(std::memory_order_relaxed)) {
          bPending_ = true;
        } else {
          r = hic->ConvertHeld(topDown, dst);
          dwConversions.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    UnlockSurface();
    if (hic && r != kIcErrOk && decodeErrors_) decodeErrors_->Count();
    if (r != kIcErrOk || bWaitKeyFrame) {
      Notice(kPixelRed150);
    } else {
      DetectMotion();
    }
    return true;
  }
  if (hic && r != kIcErrOk && decodeErrors_) decodeErrors_->Count();
  if (r != kIcErrOk || bWaitKeyFrame) {
    UnlockSurface();
    Notice(kPixelRed150);
    return true;
  }
  DetectMotion();
  // The decompressor's rows are bottom-up; the surface's are top-down. A
  // picture that does not match the surface would be copied out of bounds,
  // so it is not copied at all.
  const int w = out.biWidth;
  const int h = out.biHeight;
  const int stride = ddsd.lPitch;
  if (w == ddsd.dwWidth && h == ddsd.dwHeight) {
    shows_ = Shows::kPicture;
    const uint8_t* pic = pPicture.get();
    if (out.biBitCount == 32) {
      for (int i = 0; i < h; ++i) {
        std::memcpy(dst + static_cast<size_t>(i) * stride,
                    pic + static_cast<size_t>(h - 1 - i) * w * 4, static_cast<size_t>(w) * 4);
      }
    } else if (out.biBitCount == 24) {
      for (int i = 0; i < h; ++i) {
        uint8_t* d = dst + static_cast<size_t>(i) * stride;
        const uint8_t* s = pic + static_cast<size_t>(h - 1 - i) * w * 3;
        for (int j = 0; j < w; ++j) {
          d[j * 4 + 0] = s[j * 3 + 0];
          d[j * 4 + 1] = s[j * 3 + 1];
          d[j * 4 + 2] = s[j * 3 + 2];
        }
      }
    }
  }
  UnlockSurface();
  return true;
}

const Surface* CChannelDecoder::Picture(Surface& scratch) {
  if (bPending_ && hic && pSurface) {
    if ((scratch.Valid() && scratch.Width() == pSurface->Width() &&
         scratch.Height() == pSurface->Height()) ||
        scratch.Create(pSurface->Width(), pSurface->Height())) {
      BitmapInfoHeader topDown = biOut.bmiHeader;
      topDown.biHeight = -topDown.biHeight;
      dwConversions.fetch_add(1, std::memory_order_relaxed);
      if (hic->ConvertHeld(topDown, scratch.Lock()) == kIcErrOk) return &scratch;
    }
  }
  CatchUp();
  return pSurface.get();
}

bool CChannelDecoder::SharePicture(SharedPicture* into) const {
  if (bPending_ && hic && pSurface) return hic->ShareHeld(into);
  into->Reset();
  return false;
}

bool CChannelDecoder::Direct() const {
  const BitmapInfoHeader& out = biOut.bmiHeader;
  return pSurface && out.biBitCount == 32 && out.biWidth == pSurface->Width() &&
         out.biHeight == pSurface->Height();
}

bool CChannelDecoder::ReleaseSurface() {
  // A picture copied onto the surface from elsewhere could not be made
  // again: only a decoder that decompresses straight onto it gives it back.
  if (!pSurface || released_ || !pSurface->Valid() || !Direct()) return false;
  if (shows_ == Shows::kPicture && !bPending_) {
    // The surface holds the decompressor's last picture, which can be
    // converted again as long as the decompressor holds it.
    const uint8_t* luma = nullptr;
    int stride = 0, width = 0, height = 0;
    if (!hic || !hic->HeldLuma(&luma, &stride, &width, &height)) return false;
    bPending_ = true;
  }
  pSurface->Release();
  released_ = true;
  return true;
}

void CChannelDecoder::RemakeSurface() {
  if (!released_ || !pSurface) return;
  if (!pSurface->Create(pSurface->Width(), pSurface->Height())) return;
  released_ = false;
  if (shows_ == Shows::kNoSignal) {
    Fill(kPixelBlue200);
    DrawTextAt(hFont, NoSignalWord().c_str(), kNoticeX, kNoticeY, kNoticeColor);
  } else if (shows_ == Shows::kNotice) {
    Fill(noticeBackground_);
    DrawTextAt(hFont, BufferingWord().c_str(), kNoticeX, kNoticeY, kNoticeColor);
  }
}

void CChannelDecoder::CatchUp() {
  RemakeSurface();
  if (!bPending_) return;
  bPending_ = false;
  if (!hic || !pSurface) return;
  LockSurface();
  uint8_t* dst = ddsd.lpSurface;
  if (dst) {
    BitmapInfoHeader topDown = biOut.bmiHeader;
    topDown.biHeight = -topDown.biHeight;
    dwConversions.fetch_add(1, std::memory_order_relaxed);
    if (hic->ConvertHeld(topDown, dst) != kIcErrOk) dst = nullptr;
  }
  UnlockSurface();
  if (!dst) Notice(kPixelRed150);
}

int CChannelDecoder::RecordPlaceLost(const AviFile& file, const RecordPlace& place) {
  // The folder deleted (the file has no name left), replaced or renamed
  // away, or no longer writable: the recording must not go on unseen.
  if (file.Removed()) return ENOENT;
  struct stat st {};
  if (::stat(place.folder.c_str(), &st) != 0) return errno ? errno : ENOENT;
  if (st.st_dev != place.dev || st.st_ino != place.ino) return ENOENT;
  if (::access(place.folder.c_str(), W_OK) != 0) return errno ? errno : EACCES;
  return 0;
}

void CChannelDecoder::AppendToRecording(const uint8_t* data, uint32_t size, uint16_t flags) {
  bool stopped = false;
  std::string newFile;
  {
    std::lock_guard<std::mutex> lock(recordLock_);
    // Checked again under the lock: a stop may have released the stream
    // between the caller's test and here.
    if (!bRecording || !pAviStream) return;
    int error = RecordPlaceLost(*pAviFile, recordPlace_);
    stopped = error != 0;
    const bool placeLost = stopped;
    // A file splits only before a key frame, so each file plays on its own;
    // only the hard 32-bit limit splits elsewhere.
    const bool key = (flags & kAviIfKeyFrame) != 0;
    const bool full = !stopped && !pAviFile->Fits(size);
    if (!stopped && lAviPos > 0 && (full || (key && pAviFile->Bytes() + 8 + size > splitBytes_))) {
      stopped = !SplitRecording(&newFile);
      if (stopped) error = recordError_.load();
    }
    if (!stopped) {
      // The format goes again before every frame with the frame's length,
      // the one field the stream lets change.
      errno = 0;
      stopped = !pAviStream->SetFormat(lAviPos, biIn.bmiHeader, sizeof(BitmapInfoHeader)) ||
                !pAviStream->Write(lAviPos, 1, data, size, flags);
      if (stopped) error = errno;
      // A file that never took a frame is no recording: it goes.
      if (stopped && lAviPos == 0) pAviFile->Discard();
      lAviPos += 1;
    }
    if (stopped) {
      // Full disk, or the folder gone or unwritable: what the file holds is
      // completed with its index, and the recording ends instead of failing
      // silently.
      Log(LogCategory::kRecording, LogSeverity::kWarning,
          "channel %d: recording into %s stopped: %s", nChannel + 1, recordPlace_.folder.c_str(),
          placeLost ? "the folder is gone or not writable" : "the file could not be written");
      recordError_ = error;
      bRecording = 0;
      ReleaseRecording();
    }
  }
  if (!newFile.empty() && !stopped && onRecordingFile) onRecordingFile(newFile);
  if (stopped && onRecordingStopped) onRecordingStopped();
}

std::unique_ptr<AviFile> CChannelDecoder::OpenRecordingFile(AviStream** stream, std::string* path,
                                                            RecordPlace* where, bool event,
                                                            std::atomic<int>* error) {
  const std::string folder = recordFolder();
  struct stat place {};
  if (::stat(folder.c_str(), &place) != 0) {
    *error = errno;
    Log(LogCategory::kRecording, LogSeverity::kWarning, "record folder %s: %s", folder.c_str(),
        ErrnoText(error->load()).c_str());
    return nullptr;
  }
  const LocalTime now = recordClock ? recordClock() : GetLocalTime();
  const int number = (nChannel & 0xFF) + 1;
  const std::string base =
      event ? EventRecordFileName(folder, number, now) : RecordFileName(folder, number, now);
  // A name already taken (another tab recording the same channel number in
  // the same millisecond, a clock stepped back, a split within it) gets a
  // suffix: a recording never opens another's file.
  std::unique_ptr<AviFile> file;
  for (int n = 1; n < 100 && !file; ++n) {
    *path = n == 1 ? base : base.substr(0, base.size() - 4) + "_" + std::to_string(n) + ".avi";
    file = AviFile::Open(*path, kOfCreate | kOfWrite);
    if (!file && errno != EEXIST) {
      *error = errno;
      return nullptr;
    }
  }
  if (!file) {
    *error = EEXIST;
    return nullptr;
  }
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.fccHandler = 0;
  info.dwScale = 1;
  info.dwRate = 10;
  info.dwQuality = 0;
  info.dwSuggestedBufferSize = static_cast<uint32_t>(wWidth) * wHeight * 4;
  info.rcFrame = AviRect{0, 0, wWidth, wHeight};
  errno = 0;
  *stream = file->CreateStream(info);
  // The format goes in at once, so that a recording stopped before its
  // first frame is still a well-formed file. It is built afresh: biIn's
  // image size belongs to the connection thread.
  const BitmapInfoHeader format = MakeBitmapInfoHeader(wWidth, wHeight, 24, fccHandler,
                                                       static_cast<uint32_t>(wWidth) * wHeight * 3);
  if (!*stream || !(*stream)->SetFormat(0, format, sizeof(BitmapInfoHeader))) {
    *error = errno;
    file->Discard();
    return nullptr;
  }
  // The header says the channel's own rate once its frames have shown it.
  file->MeasureRate();
  if (!event) asi = info;
  *where =
      RecordPlace{folder, static_cast<uint64_t>(place.st_dev), static_cast<uint64_t>(place.st_ino)};
  return file;
}

bool CChannelDecoder::SplitRecording(std::string* path) {
  AviStream* stream = nullptr;
  RecordPlace place;
  std::unique_ptr<AviFile> file = OpenRecordingFile(&stream, path, &place, false, &recordError_);
  if (!file) return false;
  recordPlace_ = place;
  // The channel's rate goes on from one file to the next.
  if (pAviFile->RateOrigin() == AviRateOrigin::kMeasured) file->MeasureRate(pAviFile->Rate());
  ReleaseRecording();
  pAviFile = std::move(file);
  pAviStream = stream;
  lAviPos = 0;
  return true;
}

bool CChannelDecoder::StartRecording() {
  recordError_ = 0;
  if (!pSurface || !recordFolder) return false;
  if (bRecording) StopRecording();
  AviStream* stream = nullptr;
  std::string path;
  RecordPlace place;
  std::unique_ptr<AviFile> file = OpenRecordingFile(&stream, &path, &place, false, &recordError_);
  if (!file) return false;
  {
    recordPlace_ = place;
    std::lock_guard<std::mutex> lock(recordLock_);
    splitBytes_ = RecordSplitBytes();
    pAviFile = std::move(file);
    pAviStream = stream;
    lAviPos = 0;
    bRecording = 1;
  }
  if (onRecordingFile) onRecordingFile(path);
  return true;
}

void CChannelDecoder::StopRecording() {
  bRecording = 0;
  // Taking the lock waits for an append under way to finish.
  std::lock_guard<std::mutex> lock(recordLock_);
  ReleaseRecording();
}

void CChannelDecoder::ReleaseRecording() {
  pAviStream = nullptr;
  pAviFile.reset();
}

void CChannelDecoder::ConfigurePreRoll(size_t bytes, std::chrono::milliseconds preRoll) {
  std::lock_guard<std::mutex> lock(eventLock_);
  // The same bounds again keep the seconds already held.
  if (bytes == ring_.Capacity() && preRoll == ring_.PreRoll()) return;
  ring_.Configure(bytes, preRoll);
}

size_t CChannelDecoder::PreRollTaken() const {
  std::lock_guard<std::mutex> lock(eventLock_);
  return ring_.Taken();
}

size_t CChannelDecoder::PreRollBytes() const {
  std::lock_guard<std::mutex> lock(eventLock_);
  return ring_.Bytes();
}

EventRecordingStatus CChannelDecoder::EventRecording() const {
  std::lock_guard<std::mutex> lock(eventLock_);
  return event_.status;
}

void CChannelDecoder::KeepForEvents(const uint8_t* data, uint32_t size, uint16_t flags) {
  std::lock_guard<std::mutex> lock(eventLock_);
  ring_.Push(data, size, flags, FrameRing::Clock::now());
  if (event_.stream) static_cast<void>(AppendEvent(data, size, flags));
}

bool CChannelDecoder::AppendEvent(const uint8_t* data, uint32_t size, uint16_t flags) {
  EventTrack& e = event_;
  const bool key = (flags & kAviIfKeyFrame) != 0;
  // A file begins at a key frame, so each plays on its own.
  if (e.pos == 0 && !key) return true;
  int error = RecordPlaceLost(*e.file, e.place);
  if (error == 0 && e.pos > 0 &&
      (!e.file->Fits(size) || (key && (e.splitDue || e.file->Bytes() + 8 + size > e.splitBytes)))) {
    AviStream* stream = nullptr;
    std::string path;
    RecordPlace place;
    std::atomic<int> openError{0};
    std::unique_ptr<AviFile> file = OpenRecordingFile(&stream, &path, &place, true, &openError);
    if (!file) {
      error = openError.load() ? openError.load() : EIO;
    } else {
      if (e.file->RateOrigin() == AviRateOrigin::kMeasured) file->MeasureRate(e.file->Rate());
      e.stream = nullptr;
      e.file = std::move(file);
      e.stream = stream;
      e.pos = 0;
      e.place = place;
      e.splitDue = false;
      e.status.path = path;
      e.status.frames = 0;
      e.status.files += 1;
    }
  }
  if (error == 0) {
    errno = 0;
    if (e.stream->Write(e.pos, 1, data, size, flags)) {
      e.pos += 1;
      e.status.frames = static_cast<uint32_t>(e.pos);
      return true;
    }
    error = errno ? errno : EIO;
  }
  Log(LogCategory::kRecording, LogSeverity::kWarning,
      "channel %d: event recording into %s stopped: %s", nChannel + 1, e.place.folder.c_str(),
      ErrnoText(error).c_str());
  EndEvent(error);
  return false;
}

void CChannelDecoder::EndEvent(int error) {
  EventTrack& e = event_;
  // A file that never took a frame is no recording: it goes.
  if (e.file && e.pos == 0) {
    e.file->Discard();
    e.status.path.clear();
  }
  e.stream = nullptr;
  e.file.reset();
  e.pos = 0;
  e.splitDue = false;
  e.status.recording = false;
  e.status.error = error;
}

bool CChannelDecoder::StartEventRecording() {
  if (!pSurface || !recordFolder) return false;
  {
    std::lock_guard<std::mutex> lock(eventLock_);
    if (event_.stream) return true;
  }
  AviStream* stream = nullptr;
  std::string path;
  RecordPlace place;
  std::atomic<int> error{0};
  std::unique_ptr<AviFile> file = OpenRecordingFile(&stream, &path, &place, true, &error);
  std::lock_guard<std::mutex> lock(eventLock_);
  EventTrack& e = event_;
  if (!file) {
    e.status = EventRecordingStatus{false, {}, 0, e.status.files, error.load()};
    return false;
  }
  e.file = std::move(file);
  e.stream = stream;
  e.pos = 0;
  e.place = place;
  e.splitDue = false;
  e.status = EventRecordingStatus{true, path, 0, e.status.files + 1, 0};
  e.splitBytes = RecordSplitBytes();
  // The seconds before now, written at once, then the frames as they come.
  const std::optional<FrameRate> rate = ring_.Rate();
  for (size_t i = 0; i < ring_.Frames() && e.stream; ++i) {
    const FrameRing::Frame f = ring_.At(i);
    if (!AppendEvent(f.data, f.size, f.flags)) return false;
  }
  // Their arrival gives the rate; a ring too short to tell leaves it to
  // the frames from now on.
  e.file->MeasureRate(rate);
  return true;
}

void CChannelDecoder::SplitEventRecording() {
  std::lock_guard<std::mutex> lock(eventLock_);
  if (event_.stream) event_.splitDue = true;
}

void CChannelDecoder::StopEventRecording() {
  std::lock_guard<std::mutex> lock(eventLock_);
  if (event_.file) EndEvent(0);
}

}  // namespace zarvion
