// CChannelDecoder: one live channel's picture, decompressor, rates, AVI
// recording, and the ring of its last seconds an event recording begins
// with. Decode runs on the connection thread; StartRecording and
// StopRecording on the window's thread; the renderer reads the picture on
// either thread under the renderer lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <QtGlobal>

#include "platform/avi_file.h"
#include "platform/bitmap_info.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/mp43_decompressor.h"
#include "video/frame_ring.h"
#include "video/motion_detector.h"
#include "video/video_surface.h"

namespace zarvion {

class FrameTrace;

inline constexpr uint32_t kPixelBlue200 = 0x000000C8;
inline constexpr uint32_t kPixelRed150 = 0x00960000;
inline constexpr uint32_t kPixelBlack = 0x00000000;
inline constexpr uint32_t kNoticeColor = Rgb(0, 200, 0);
inline constexpr int kNoticeX = 100;
inline constexpr int kNoticeY = 100;
// Drawn in the language of the application (see NoSignalWord in captions.h).
inline constexpr const char* kTextNoSignal = QT_TRANSLATE_NOOP("Captions", "无信号");
inline constexpr const char* kTextBuffering = QT_TRANSLATE_NOOP("Captions", "帧缓冲");

// The size past which a recording goes on in a new file: 1 GiB, or
// $ZARVION_RECORD_SPLIT_BYTES when that holds a positive number; never more
// than 3 GiB, which keeps every file well inside the 32-bit RIFF sizes.
uint64_t RecordSplitBytes();

// An event recording of one channel as its decoder sees it: whether it
// runs, the file it writes now (or wrote last), the frames in that file,
// how many files it has opened (a split opens the next), and the errno of
// a start that failed or of the failure that stopped it (0 when none).
struct EventRecordingStatus {
  bool recording = false;
  std::string path;
  uint32_t frames = 0;
  uint32_t files = 0;
  int error = 0;
};

class CChannelDecoder : public CVideoSurface {
 public:
  CChannelDecoder();
  // Stops a recording still running, then releases the decompressor and the
  // surface.
  ~CChannelDecoder() override;

  // Surface (blue with "无信号"), picture buffer, formats and the opened
  // "MP43" decompressor with its preferred output. False only when the
  // surface cannot be created; the decoder then stays inert: Decode,
  // recording and the renderer skip it.
  bool Create(int width, int height) override;

  // One compressed frame of this channel. False only when the surface
  // memory cannot be obtained (the caller then clears the composed view).
  [[nodiscard]] bool Decode(const uint8_t* data, uint32_t size, uint16_t flags);

  // Creates "CLIENT_CHnn_<local time>.avi" in the record folder ("_2",
  // "_3", ... before ".avi" when that name is taken) and starts appending
  // every frame Decode receives. False, and the decoder stays idle with no
  // file left behind, when the folder source is unset or the file or stream
  // cannot be created. A start while recording first completes the running
  // file.
  //
  // A file that would pass the split size (RecordSplitBytes) is completed
  // before the next key frame, which opens a new file named by its own
  // start time. A write that fails (full disk) completes the file with the
  // frames it holds and stops the recording; a file whose first frame could
  // not be written is removed instead. A record folder that is deleted,
  // renamed or made unwritable stops the recording the same way at the next
  // frame. onRecordingStopped then tells the owner, on the connection
  // thread. RecordError() gives the errno of a start that failed or of the
  // failure that stopped the recording.
  [[nodiscard]] bool StartRecording();
  // Completes the file. Returns once no append is under way; harmless when
  // not recording.
  void StopRecording();

  // Every frame Decode receives also goes into a ring of the channel's last
  // seconds (FrameRing), bounded in bytes. An event recording, apart from
  // the record button's (both may run at once), begins with the ring's
  // frames and goes on with every new one, into
  // "EVENT_CHnn_<local time>.avi" in the record folder: the same writer,
  // split and failures as StartRecording, and the ring's arrival rate in
  // the header. An empty ring makes it wait for the next key frame. False,
  // with no file left, when the file cannot be made; a start while one runs
  // changes nothing. Any thread. A ring of 0 bytes keeps nothing; the same
  // bounds again keep what the ring holds.
  void ConfigurePreRoll(size_t bytes, std::chrono::milliseconds preRoll);
  [[nodiscard]] bool StartEventRecording();
  void StopEventRecording();
  // Completes the running event file before the next key frame and goes on
  // in a new one (the operator's longest file).
  void SplitEventRecording();
  EventRecordingStatus EventRecording() const;
  // Bytes the pre-roll ring holds now.
  size_t PreRollBytes() const;
  // Bytes the pre-roll ring's buffer takes now.
  size_t PreRollTaken() const;

  uint16_t wWidth = 352;
  uint16_t wHeight = 288;
  uint32_t fccHandler = kFourCCMp43;
  std::unique_ptr<Mp43Decompressor> hic;
  BitmapInfo biIn;
  std::unique_ptr<uint8_t[]> pPicture;
  BitmapInfo biOut;
  std::atomic<int32_t> bSignal{0};
  int32_t nChannel = 0;  // slot 0..15, set before Create
  std::atomic<int32_t> nFps{0};
  std::atomic<uint32_t> nBps{0};
  std::atomic<int32_t> bRecording{0};
  std::atomic<int32_t> bWaitKeyFrame{0};
  const Font* hFont = nullptr;  // not owned: the window's large font
  std::unique_ptr<AviFile> pAviFile;
  AviStream* pAviStream = nullptr;  // owned by pAviFile
  AviStreamInfo asi;
  int32_t lAviPos = 0;
  uint32_t dwBytesAtTick = 0;
  uint32_t dwBytesTotal = 0;
  int32_t tLastTick = 0;
  int32_t nFramesThisTick = 0;

  // Bound by the owner before Create: the renderer lock that guards this
  // surface (null: no other thread looks at it) and the record folder.
  std::mutex* pSurfaceLock = nullptr;
  FolderSource recordFolder;
  // The time that names a new recording; unset: the local clock.
  std::function<LocalTime()> recordClock;
  // Told of every frame before it is decoded (measurements only).
  std::atomic<FrameTrace*> pTrace{nullptr};
  // Counts every write of a picture or notice to the surface (under the
  // surface lock), so the single view stretches only what is new.
  uint32_t dwPictureSerial = 0;
  std::function<void()> onRecordingStopped;
  // Told of every file a recording opens (its start, and each split), on the
  // thread that opened it, with no lock of the decoder held.
  std::function<void(const std::string& path)> onRecordingFile;
  // Where this channel's motion is told, and its settings read; bound by
  // the owner before frames come (null: no motion detection).
  MotionBoard* pMotionBoard = nullptr;
  // The errno behind the last start that failed or the last recording that
  // stopped by itself; 0 when it had none to give.
  int RecordError() const { return recordError_.load(); }
  // The decoding thread's clock between frames: a channel whose frames
  // stopped (its camera lost) ends its motion event once the gap after the
  // last motion frame has passed. Same thread as Decode.
  void MotionIdle();
  // Set by the renderer while it reads this channel's picture only through
  // CatchUp or Picture (every channel but the one a single view shows): its
  // frames are then decoded (and recorded) but converted to pixels only
  // when somebody reads them.
  std::atomic<bool> bConvertOnRead{false};
  // Writes the last picture decoded to the surface, if it is not there yet,
  // making the surface's pixels again first when they were released. Call
  // under the surface lock.
  void CatchUp();
  // Gives the surface's pixels back while nobody looks at them, when what
  // they show can be made again (the last picture, still held by the
  // decompressor, or a notice); decoding, motion and recording go on, and
  // the next CatchUp (or Picture) makes the surface again. True when
  // released. Call under the surface lock.
  bool ReleaseSurface();
  bool SurfaceReleased() const { return released_; }
  // Pictures converted to pixels by this decoder (into its surface or a
  // scratch picture), for tests and measurements.
  std::atomic<uint32_t> dwConversions{0};
  // The latest picture, to read once under the surface lock: the surface
  // when it is current, else the last picture decoded converted into
  // `scratch` (made at the surface's size), which leaves the surface as it
  // was. One scratch serves every channel, so its pixels stay in the caches.
  const Surface* Picture(Surface& scratch);
  // The last picture decoded, shared with `into` without converting it,
  // when the surface does not show it yet; false (and `into` emptied) when
  // the surface is current (a notice, or a picture already converted).
  // Call under the surface lock.
  bool SharePicture(SharedPicture* into) const;
  // The surface shows a notice ("无信号", "帧缓冲") rather than a picture.
  // Call under the surface lock.
  bool ShowsNotice() const { return shows_ != Shows::kPicture; }

 private:
  struct RecordPlace {
    std::string folder;
    uint64_t dev = 0;
    uint64_t ino = 0;
  };
  // The event recording's own file and state, under eventLock_.
  struct EventTrack {
    std::unique_ptr<AviFile> file;
    AviStream* stream = nullptr;  // owned by file
    int32_t pos = 0;
    RecordPlace place;
    bool splitDue = false;
    uint64_t splitBytes = 0;
    EventRecordingStatus status;
  };

  void Notice(uint32_t background);
  // Keeps the frame in the ring and appends it to the event recording.
  void KeepForEvents(const uint8_t* data, uint32_t size, uint16_t flags);
  // One frame into the event file; false (the recording stopped, the file
  // completed or, empty, removed) when it could not be written. Under
  // eventLock_.
  bool AppendEvent(const uint8_t* data, uint32_t size, uint16_t flags);
  void EndEvent(int error);
  // Runs the motion detector on the picture just decoded.
  void DetectMotion();
  static int64_t MotionNowMs();
  void AppendToRecording(const uint8_t* data, uint32_t size, uint16_t flags);
  void ReleaseRecording();
  // A new file for a recording (an event recording's when `event`): the
  // header, stream and format, its name in `path` and its folder in
  // `place`. Null (no file left, the errno in `error`) when any of them
  // cannot be written.
  [[nodiscard]] std::unique_ptr<AviFile> OpenRecordingFile(AviStream** stream, std::string* path,
                                                           RecordPlace* place, bool event,
                                                           std::atomic<int>* error);
  // The folder of `file` is gone or unwritable: the errno that says so,
  // else 0.
  static int RecordPlaceLost(const AviFile& file, const RecordPlace& place);
  // Completes the running file and goes on in a fresh one, named in `path`.
  [[nodiscard]] bool SplitRecording(std::string* path);

  uint64_t splitBytes_ = 0;
  std::atomic<int> recordError_{0};
  // The folder the file is in, as it was when the file was made.
  RecordPlace recordPlace_;
  // The decompressor holds a picture the surface does not show yet.
  bool bPending_ = false;
  // What the surface shows, or, released, is to show when made again: the
  // picture (bPending_ says whether it is on the surface yet), the first
  // "无信号", or the notice of a frame that could not be shown on
  // noticeBackground_.
  enum class Shows { kPicture, kNoSignal, kNotice };
  Shows shows_ = Shows::kNoSignal;
  uint32_t noticeBackground_ = 0;
  // The surface's pixels were given back (ReleaseSurface).
  bool released_ = false;
  // Whether pictures are decompressed straight onto the surface.
  bool Direct() const;
  // Makes released pixels again with what they showed, but a pending
  // picture, which CatchUp converts.
  void RemakeSurface();
  // Frames that could not be decoded, logged as counts (made by Create).
  std::unique_ptr<LogTally> decodeErrors_;
  MotionDetector motion_;
  uint32_t motionSerial_ = 0;

  // Held by every append and by the release of the file, so a stop never
  // pulls the stream from under an append.
  std::mutex recordLock_;

  // The pre-roll ring and the event recording: the connection thread adds
  // to them, the owner starts and stops.
  mutable std::mutex eventLock_;
  FrameRing ring_;
  EventTrack event_;
};

}  // namespace zarvion
