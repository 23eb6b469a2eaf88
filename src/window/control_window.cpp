#include "window/control_window.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QSlider>
#include <QThread>
#include <QTransform>

#include "net/connection_thread.h"
#include "net/control_object.h"
#include "net/protocol.h"
#include "net/transfer.h"
#include "platform/code_page.h"
#include "platform/surface.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"
#include "ui_control_window.h"
#include "video/captions.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"
#include "window/gui_calls.h"
#include "window/notice_box.h"
#include "window/repair_status.h"
#include "window/window_layout.h"
#include "window/x_scaled_view.h"

namespace zarvion {

namespace {

constexpr uint16_t kButtonClicked = 0;  // BN_CLICKED
// Texts of the window (and the ones the connection thread sets) go through
// the application's translators in the context "ControlWindow"; the
// recorder's own texts (notices, playback rows) never do.
constexpr const char* kCaptionRecord = QT_TRANSLATE_NOOP("ControlWindow", "录像");
constexpr const char* kCaptionStopRecording = QT_TRANSLATE_NOOP("ControlWindow", "停止");
constexpr const char* kCaptionPlay = QT_TRANSLATE_NOOP("ControlWindow", "播放");
constexpr const char* kCaptionPause = QT_TRANSLATE_NOOP("ControlWindow", "暂停");
// The first item of the settings dialog's channel list, from the thread.
[[maybe_unused]] constexpr const char* kItemAllChannels =
    QT_TRANSLATE_NOOP("ControlWindow", "全部通道");

QString WindowText(const char* utf8) {
  return QCoreApplication::translate("ControlWindow", utf8);
}

// Far outside any pane: the pointer is not over the window.
constexpr int kPointerAway = -100000;

int64_t PackPoint(int x, int y) {
  return (static_cast<int64_t>(x) << 32) | static_cast<uint32_t>(y);
}
Point UnpackPoint(int64_t v) {
  return Point{static_cast<int>(v >> 32), static_cast<int>(static_cast<uint32_t>(v))};
}

QRect ToQRect(const Rect& r) {
  return QRect(r.left, r.top, r.Width(), r.Height());
}

Rect Shifted(const Rect& r, int dx, int dy) {
  return Rect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

// A paint rectangle on the device, `dx`, `dy` from the widget.
Rect ClipOf(const QRect& r, int dx, int dy) {
  return Rect{dx + r.left(), dy + r.top(), dx + r.right() + 1, dy + r.bottom() + 1};
}

}  // namespace

// ControlUi for the connection thread: every call runs on the GUI thread and
// is waited for; the wait ends when the stop event is set.
class ControlWindow::UiBridge : public ControlUi {
 public:
  explicit UiBridge(ControlWindow& w) : w_(w) {}

  void EnableControl(UiWindow window, int id, bool enable) override {
    Run([this, window, id, enable] {
      if (QWidget* control = Find(window, id)) control->setEnabled(enable);
    });
  }
  void SetControlText(UiWindow window, int id, const std::string& utf8) override {
    Run([this, window, id, text = WindowText(utf8.c_str())] {
      QWidget* control = Find(window, id);
      if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
      } else if (control) {
        control->setWindowTitle(text);
      }
    });
  }
  void SetSliderRange(int min, int max) override {
    Run([this, min, max] { w_.PositionSlider()->setRange(min, max); });
  }
  void SetSliderPos(int pos) override {
    // A step that was under way when the user pressed stop must not move
    // the slider back from 0: a disabled slider no longer follows playback.
    // Nor does a slider the user holds: the release seeks to where it was
    // let go, not to where the steps had got to.
    Run([this, pos] {
      QSlider* slider = w_.PositionSlider();
      if (slider->isEnabled() && !slider->isSliderDown() && !w_.sliderReleasePending_) {
        slider->setValue(pos);
      }
    });
  }
  void FillChannelList(const std::vector<std::string>& utf8Items, int selected) override {
    std::vector<std::string> items;
    for (const std::string& item : utf8Items)
      items.push_back(WindowText(item.c_str()).toStdString());
    Run([this, items = std::move(items), selected] {
      if (SettingsDialog* d = w_.Settings()) d->FillChannelList(items, selected);
    });
  }
  void AppendPlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                         const std::string& locationGbk) override {
    Run([this, channelGbk, timeGbk, locationGbk] {
      if (PlaybackDialog* d = w_.Playback()) d->AppendPlaybackRow(channelGbk, timeGbk, locationGbk);
    });
  }
  void PostServerText() override {
    // The text is taken now, on the thread that wrote it, so the next notice
    // can reuse the buffer while the box is still open.
    const auto& buffer = w_.obj_.szServerText;
    const size_t length = strnlen(buffer.data(), buffer.size());
    const QString text = QString::fromStdString(GbkToUtf8(std::string_view(buffer.data(), length)));
    const QString from = QString::fromStdString(w_.obj_.socket.PeerAddress());
    // Not through calls_: the thread does not wait for the box. Notices
    // that arrive faster than the window shows them are not queued one by
    // one: the latest text wins, and one queued call shows it.
    {
      std::lock_guard hold(w_.noticeLock_);
      w_.pendingNotice_ = text;
      w_.pendingNoticeFrom_ = from;
      if (w_.noticePosted_) return;
      w_.noticePosted_ = true;
    }
    QMetaObject::invokeMethod(
        &w_, [this] { w_.ShowPendingNotice(); }, Qt::QueuedConnection);
  }
  void ViewChanged(uint32_t leftView) override {
    Run([this, leftView] { w_.MatchViewButtons(leftView); });
  }

 private:
  void Run(std::function<void()> fn) { w_.calls_->Call(std::move(fn), w_.obj_.hStopEvent.get()); }

  QWidget* Find(UiWindow window, int id) const {
    switch (window) {
      case UiWindow::kControl:
        return w_.Control(id);
      case UiWindow::kSettings:
        return w_.Settings() ? w_.Settings()->Item(id) : nullptr;
      case UiWindow::kPlayback:
        return w_.Playback() ? w_.Playback()->Item(id) : nullptr;
    }
    return nullptr;
  }

  ControlWindow& w_;
};

// VideoSink for the connection thread: the decoders and the renderer.
class ControlWindow::Sink : public VideoSink {
 public:
  explicit Sink(ControlWindow& w) : w_(w) {}
  bool Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) override {
    CChannelDecoder* decoder = w_.Decoder(slot);
    return decoder ? decoder->Decode(data, size, flags) : true;
  }
  void ClearView() override { w_.renderer_->ClearView(); }
  void PlaceChannel(int slot) override { w_.renderer_->PlaceChannel(slot); }
  void Redraw() override { w_.renderer_->Redraw(); }

 private:
  ControlWindow& w_;
};

// The renderer's view of the window. It runs under the renderer lock on
// either thread, so it never calls a widget: the size and the pointer are
// kept in atomics by the GUI thread. Coordinates are window-relative (the
// window's own origin stands for its screen position): the renderer only
// uses the pointer's offset from the window's corner and the window's size.
class ControlWindow::WindowPresenter : public Presenter {
 public:
  explicit WindowPresenter(ControlWindow& w) : w_(w) {}

  void SetSize(int width, int height) { size_.store(PackPoint(width, height)); }

  Rect WindowRect() const override {
    const Point size = UnpackPoint(size_.load());
    return Rect{0, 0, size.x, size.y};
  }
  Point CursorPos() const override { return UnpackPoint(w_.pointer_.load()); }
  bool CanDraw() const override { return w_.drawable_.load(); }
  bool DrawsSingleView() const override { return true; }
  bool DrawsGridPictures() const override { return true; }
  void Present(const Rect&, const Rect&) override {
    if (FrameTrace* trace = w_.trace_.load()) trace->Composed();
    w_.RequestRepaint();
  }

 private:
  ControlWindow& w_;
  std::atomic<int64_t> size_{0};
};

ControlWindow::ControlWindow(ControlObject& obj, QWidget* parent, ControlWindowOptions options)
    : QWidget(parent),
      obj_(obj),
      options_(std::move(options)),
      form_(std::make_unique<Ui::ControlWindowForm>()),
      calls_(std::make_unique<GuiCalls>(this)),
      pointer_(PackPoint(kPointerAway, kPointerAway)) {
  QFont::insertSubstitution(kFontFace, kFontFaceSubstitute);
  form_->setupUi(this);
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
    const int id = button->property("controlId").toInt();
    connect(button, &QAbstractButton::clicked, this,
            [this, id] { OnCommand(static_cast<uint32_t>(id) | (kButtonClicked << 16), 0); });
  }
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
  presentTimer_.setSingleShot(true);
  connect(&presentTimer_, &QTimer::timeout, this, &ControlWindow::PresentChanges);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // At most one present per refresh of the display, and never more than
    // 60 a second.
    const double hz = screen->refreshRate();
    if (hz >= 1) presentIntervalMs_ = std::max(16, static_cast<int>(std::ceil(1000.0 / hz)));
  }
  SetUp();
  if (!setupComplete_) {
    // Nothing the toolbar offers can work without the pieces set-up did not
    // make; the commands ignore it, and it says so.
    for (int id : kToolbarButtons) Enable(id, false);
    Enable(kIdPosition, false);
  }
}

ControlWindow::~ControlWindow() {
  TearDown();
}

bool ControlWindow::Fails(SetupStep step) {
  if (options_.failAt != step) return false;
  failedStep_ = step;
  return true;
}

void ControlWindow::SetUp() {
  // 1-2. csPosition and the server text are part of the control object.
  if (Fails(SetupStep::kServerText)) return;

  // 3. The default view. A stored word that is none of the grids would
  // select nothing (or a decoder that does not exist); it shows 4 x 4.
  obj_.dwDrawMode = ValidGridOr16(SettingsStore::ReadDrawMode());
  obj_.dwSavedDrawMode = obj_.dwDrawMode.load();
  // With no layout chosen, the session fits the view to the recorder.
  obj_.bFitViewToChannels = SettingsStore::DrawModeChosen() ? 0 : 1;

  // 4. The dialogs, hidden, sending their notifications here.
  settingsDialog_ = std::make_unique<SettingsDialog>(this, this);
  playbackDialog_ = std::make_unique<PlaybackDialog>(this, this);

  // 5. The socket library: nothing to start on this platform.
  if (Fails(SetupStep::kSocketLibrary)) return;

  // 6. The events. A window made again for the same control object finds
  // them made and the stop event of its predecessor still set.
  EnsureEvents(obj_);
  if (!obj_.hStopEvent) obj_.hStopEvent = std::make_unique<Event>();
  if (!obj_.hIoEvent) obj_.hIoEvent = std::make_unique<Event>();
  obj_.hStopEvent->Reset();

  // 7. The screen size, that of the back surface.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect geometry = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
  cxScreen_ = geometry.width();
  cyScreen_ = geometry.height();

  // 8-9. The display: the renderer, bound to this window, and its
  // screen-sized back surface, cleared to blue 200.
  if (Fails(SetupStep::kDisplayObject)) return;
  renderer_ =
      std::make_unique<Renderer>(ViewWords{obj_.dwDrawMode, obj_.bLayoutDirty, obj_.bSnapshot});
  if (Fails(SetupStep::kCooperativeLevel)) return;
  presenter_ = std::make_unique<WindowPresenter>(*this);
  presenter_->SetSize(width(), height());
  if (Fails(SetupStep::kPrimarySurface)) return;
  if (Fails(SetupStep::kBackSurface) || !renderer_->Create(cxScreen_, cyScreen_)) {
    failedStep_ = SetupStep::kBackSurface;
    return;
  }
  if (Fails(SetupStep::kClipper)) return;
  renderer_->SetPresenter(presenter_.get());

  // 10. The fonts: captions and the decoders' notices.
  hFontSmall_ = std::make_unique<Font>(kFontSmallHeight);
  hFontLarge_ = std::make_unique<Font>(kFontLargeHeight);
  renderer_->SetCaptionFont(hFontSmall_.get());
  renderer_->SetSnapshotFolder([] { return SettingsStore::ReadFolderSetting(kCapDir); });
  // Every step up to the length has been asked for, and the quiet that let
  // the next one go brought nothing: the recording is over.
  renderer_->SetPlaybackEnded([this] { return obj_.dwPlayPos.load() > obj_.dwPlayLength.load(); });
  renderer_->SetSnapshotReport(
      [this](const std::string& path, bool saved) { ReportSnapshot(obj_, path, saved); });

  // 11. The frame buffer.
  obj_.pFrameBuffer = std::make_unique<uint8_t[]>(size_t{obj_.wFrameWidth} * obj_.wFrameHeight * 4);

  // Recordings that a crash left without index get it back, so their key
  // frames show and they seek. On a thread of its own: the window never
  // waits for it; the host hears how it goes.
  repair_ = std::make_unique<RecordingRepair>(
      SettingsStore::ReadFolderSetting(kRecordDir), [this](const RecordingRepairNote& note) {
        const QString text = RepairStatusText(note);
        QMetaObject::invokeMethod(
            this, [this, text] { emit RecordingsRepairStatus(text); }, Qt::QueuedConnection);
      });
  repair_->Start();

  // 12. The decoders, in slot order.
  for (int slot = 0; slot < kDecoderSlots; ++slot) {
    auto decoder = std::make_unique<CChannelDecoder>();
    decoder->nChannel = slot;
    decoder->hFont = hFontLarge_.get();
    decoder->recordFolder = [] { return SettingsStore::ReadFolderSetting(kRecordDir); };
    // A recording that stopped by itself (full disk) shows "录像" again.
    decoder->onRecordingStopped = [this] {
      QMetaObject::invokeMethod(
          this,
          [this] {
            CChannelDecoder* shown = ShownDecoder();
            if (shown && shown->bRecording.load() == 0) SetText(kIdRecord, kCaptionRecord);
          },
          Qt::QueuedConnection);
    };
    renderer_->BindDecoder(slot, decoder.get());
    decoder->Create(obj_.wFrameWidth, obj_.wFrameHeight);
    decoder->bWaitKeyFrame = 1;
    apDecoder_[slot] = std::move(decoder);
  }

  // 13. The toolbar: only the settings button works before a session.
  LayOutToolbar();
  for (int id : {kIdRecord, kIdCapture, kIdPlaybackRequest, kIdPlayPause, kIdStop, kIdPosition}) {
    Enable(id, false);
  }
  Enable(kIdSettings, true);

  // 14. The connection thread, with the window bound for it.
  uiBridge_ = std::make_unique<UiBridge>(*this);
  sink_ = std::make_unique<Sink>(*this);
  obj_.ui = uiBridge_.get();
  obj_.video = sink_.get();
  setupComplete_ = true;
  if (options_.startConnectionThread) {
    thread_ = std::make_unique<ConnectionThread>(obj_);
    thread_->Start();
  }

  // 15.
  obj_.bLayoutDirty = 1;
}

void ControlWindow::TearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  // The repair stops at its next piece read, leaving its file as it was.
  repair_.reset();
  // 1-3. Stop the connection thread and wait for it to end, so nothing it
  // does can reach what is released below.
  if (obj_.hStopEvent) obj_.hStopEvent->Set();
  calls_->Shutdown();
  if (thread_) {
    thread_->Join();
    thread_.reset();
  }
  if (obj_.ui == uiBridge_.get()) obj_.ui = nullptr;
  if (obj_.video == sink_.get()) obj_.video = nullptr;

  // The server text box goes with the control that showed it.
  delete noticeBox_.data();

  // 4. The dialogs.
  settingsDialog_.reset();
  playbackDialog_.reset();

  // 5. The display, then the decoders, each with its recording completed.
  if (renderer_) renderer_->SetPresenter(nullptr);
  renderer_.reset();
  presenter_.reset();
  for (auto& decoder : apDecoder_) {
    if (!decoder) continue;
    decoder->StopRecording();
    decoder.reset();
  }
  hFontSmall_.reset();
  hFontLarge_.reset();

  // 6. The stop and I/O events stay: a window made again for this control
  // object resets and reuses them; the connect event belongs to the
  // scriptable members.

  // 7.
  obj_.pFrameBuffer.reset();
}

void ControlWindow::LayOutToolbar() {
  const QRect client = rect();
  for (int k = 0; k < static_cast<int>(kToolbarButtons.size()); ++k) {
    Control(kToolbarButtons[k])->setGeometry(ToolbarButtonRect(client, k));
  }
  PositionSlider()->setGeometry(ToolbarSliderRect(client));
}

QWidget* ControlWindow::Control(int id) const {
  switch (id) {
    case kIdRecord:
      return form_->record;
    case kIdCapture:
      return form_->capture;
    case kIdSettings:
      return form_->settings;
    case kIdPosition:
      return form_->position;
    case kIdPlaybackRequest:
      return form_->playbackRequest;
    case kIdPlayPause:
      return form_->playPause;
    case kIdStop:
      return form_->stop;
    default:
      return nullptr;
  }
}

QAbstractButton* ControlWindow::Button(int id) const {
  return qobject_cast<QAbstractButton*>(Control(id));
}

QSlider* ControlWindow::PositionSlider() const {
  return form_->position;
}

CChannelDecoder* ControlWindow::Decoder(int slot) const {
  if (slot < 0 || slot >= kDecoderSlots) return nullptr;
  return apDecoder_[slot].get();
}

void ControlWindow::Enable(int id, bool enable) {
  if (QWidget* control = Control(id)) control->setEnabled(enable);
}

void ControlWindow::SetText(int id, const char* utf8) {
  if (QAbstractButton* button = Button(id)) button->setText(WindowText(utf8));
}

void ControlWindow::Send(const MessageHeader& header, const void* payload, uint32_t size) {
  // A failed send changes nothing else; the handler's state changes stand.
  SendMessage(obj_, header, payload, size);
}

void ControlWindow::ShowPendingNotice() {
  QString text, from;
  {
    std::lock_guard hold(noticeLock_);
    text = std::move(pendingNotice_);
    from = std::move(pendingNoticeFrom_);
    pendingNotice_.clear();
    pendingNoticeFrom_.clear();
    noticePosted_ = false;
  }
  ShowServerText(from, text);
}

void ControlWindow::ShowServerText(const QString& from, const QString& text) {
  QString caption = WindowText(kServerTextCaption);
  if (!from.isEmpty()) caption += QString::fromUtf8(" — ") + from;
  if (options_.showWarning) {
    // The hook may run the host's event loop, which may destroy this
    // window: nothing of it is used afterwards.
    const auto show = options_.showWarning;
    show(caption, text);
    return;
  }
  // One box without owner and without a modal loop of its own: the host,
  // the toolbar and the dialogs stay usable while it is open, and a later
  // notice replaces its text instead of stacking another box (a modal box
  // per notice nests one event loop in the last, until the stack runs out).
  // The recorder is not trusted: its text is shown as plain characters in a
  // box that stays within the screen (NoticeBox).
  if (!noticeBox_) {
    noticeBox_ = new NoticeBox(nullptr);
    noticeBox_->setWindowModality(Qt::NonModal);
    noticeBox_->setAttribute(Qt::WA_DeleteOnClose);
  }
  noticeBox_->SetNotice(caption, text);
  noticeBox_->show();
}

void ControlWindow::MatchViewButtons(uint32_t leftView) {
  const uint32_t m = obj_.dwDrawMode.load();
  // The record button no longer reaches a channel that is not shown alone,
  // so its recording ends with its view.
  if (IsChannelView(leftView) && leftView != m) {
    CChannelDecoder* left = Decoder(static_cast<int>(leftView));
    if (left && left->bRecording.load() != 0) left->StopRecording();
    SetText(kIdRecord, kCaptionRecord);
  }
  if (IsChannelView(m)) {
    const bool signal = Decoder(static_cast<int>(m))->bSignal.load() != 0;
    Enable(kIdRecord, signal);
    Enable(kIdCapture, true);
  } else {
    Enable(kIdRecord, false);
    Enable(kIdCapture, m == kDrawPlayback);
  }
}

void ControlWindow::RequestRepaint() {
  if (QThread::currentThread() == thread()) {
    // This may run under the renderer lock, from a Redraw on this thread:
    // the present is left to the timer.
    if (!inPaint_) SchedulePresent(false);
    return;
  }
  // Frames arrive far faster than the display needs; one queued request at
  // a time is enough.
  if (repaintPending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this, [this] { SchedulePresent(true); }, Qt::QueuedConnection);
}

void ControlWindow::SchedulePresent(bool mayPresentNow) {
  if (presentTimer_.isActive()) return;
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - lastPresent_)
                         .count();
  // The recorder sends its channels' frames one right after the other; a
  // moment's wait after the first change takes the rest of them into the
  // same present. A single view shows one channel: nothing to wait for.
  const int64_t gatherMs = singleShown_ ? 0 : 8;
  const int wait = static_cast<int>(
      std::clamp<int64_t>(presentIntervalMs_ - since, gatherMs, presentIntervalMs_));
  // A present due now is made at once rather than after another pass of
  // the event loop.
  if (wait == 0 && mayPresentNow) {
    PresentChanges();
    return;
  }
  presentTimer_.start(wait);
}

void ControlWindow::PresentChanges() {
  // Cleared first: a composition after the collection below asks again.
  repaintPending_ = false;
  lastPresent_ = std::chrono::steady_clock::now();
  const QRegion changed = CollectChanges();
  if (changed.isEmpty()) return;
  if (singleShown_ && PresentSingleOnX()) return;
  if (xview_ && xview_->isVisible()) xview_->hide();
  // Painted now: the pictures are what this window is for, and a posted
  // update would cost the event loop one more wake-up per frame.
  repaint(changed);
}

bool ControlWindow::PresentSingleOnX() {
  // The server's stretch is given device pixels; a scaled display keeps to
  // the paint, which knows the scale.
  if (devicePixelRatioF() != 1.0) return false;
  if (!xview_) {
    if (noXView_) return false;
    xview_ = XScaledView::Create(this);
    noXView_ = xview_ == nullptr;
    if (noXView_) return false;
  }
  const int w = width();
  const int h = std::max(0, height() - kVideoAreaAllowance);
  const Rect area{0, 0, w, h};
  const bool shared = !singleShared_.Empty();
  const int pw = shared ? singleShared_.Width() : singlePicture_.Width();
  const int ph = shared ? singleShared_.Height() : singlePicture_.Height();
  // The caption's pixels are made here, over the stretched picture, as the
  // paint would make them; the server puts them beside its own stretch.
  Rect band = Intersect(text_.Extent(hFontSmall_.get(), singleCaption_, 4, 4), area);
  if (band.Empty()) band = Rect{};
  PixelView picture, bandView;
  if (area.Empty() || !xview_->Begin(pw, ph, band.Width(), band.Height(), &picture, &bandView)) {
    return false;
  }
  if (shared) {
    ConvertInto(singleShared_, picture);
  } else {
    // Same size: a copy.
    const PixelView from = singlePicture_.View();
    StretchPixels(picture, picture.Bounds(), picture.Bounds(), from, from.Bounds());
  }
  if (!band.Empty()) {
    StretchPixels(bandView, Shifted(area, -band.left, -band.top), bandView.Bounds(), picture,
                  singleSource_, 0xFF000000u);
    text_.Draw(bandView, bandView.Bounds(), hFontSmall_.get(), singleCaption_, 4 - band.left,
               4 - band.top, kCaptionSingleColor);
  }
  if (xview_->geometry() != QRect(0, 0, w, h)) xview_->setGeometry(0, 0, w, h);
  xview_->Show(singleSource_, area, band);
  if (!xview_->isVisible()) {
    // Below whatever the host shows over the area.
    xview_->show();
    xview_->lower();
  }
  if (FrameTrace* trace = trace_.load()) trace->Shown();
  return true;
}

QRegion ControlWindow::CollectChanges() {
  if (!renderer_) return {};
  std::array<Rect, kMaxChanges> rects;
  QRegion region;
  std::lock_guard<std::mutex> hold(renderer_->Lock());
  const Surface* back = renderer_->BackSurface();
  if (!back || !back->Valid()) return {};
  if (!front_ || front_->Width() != back->Width() || front_->Height() != back->Height()) {
    // Made once, at the back surface's size, and filled whole.
    front_ = std::make_unique<Surface>();
    if (!front_->Create(back->Width(), back->Height())) {
      front_.reset();
      return {};
    }
    std::memcpy(front_->Lock(), back->Lock(), static_cast<size_t>(back->Stride()) * back->Height());
    region += QRect(0, 0, back->Width(), back->Height());
  }
  bool swapped = false;
  const int n = renderer_->TakeChanges(rects, front_.get(), &swapped);
  const uint8_t* from = back->Lock();
  uint8_t* to = front_->Lock();
  const int stride = back->Stride();
  for (int i = 0; i < n; ++i) {
    const Rect& r = rects[static_cast<size_t>(i)];
    region += QRect(r.left, r.top, r.Width(), r.Height());
    if (swapped) continue;
    const size_t bytes = static_cast<size_t>(r.Width()) * 4;
    for (int y = r.top; y < r.bottom; ++y) {
      const size_t at = static_cast<size_t>(y) * stride + static_cast<size_t>(r.left) * 4;
      std::memcpy(to + at, from + at, bytes);
    }
  }
  back->Unlock();
  // The single view is stretched by the paint, over the whole area; going
  // back to the back surface repaints the whole area too.
  const bool wasSingle = singleShown_;
  singleShown_ =
      renderer_->TakeSingle(singlePicture_, &singleSource_, &singleCaption_, &singleShared_);
  const int h = std::max(0, height() - kVideoAreaAllowance);
  if (singleShown_ || wasSingle) region += QRect(0, 0, width(), h);
  const uint32_t panes = renderer_->TakeGridPictures(gridPanes_);
  for (int s = 0; s < kDecoderSlots; ++s) {
    if (panes & (1u << s)) region += ToQRect(gridPanes_[static_cast<size_t>(s)].pane);
  }
  if (FrameTrace* trace = trace_.load()) trace->Taken();
  return region.intersected(QRect(0, 0, width(), h));
}

void ControlWindow::UpdateDrawable() {
  const QWidget* top = window();
  drawable_ = isVisible() && !(top && top->isMinimized());
}

void ControlWindow::SetFrameTrace(FrameTrace* trace) {
  trace_ = trace;
  for (auto& decoder : apDecoder_) {
    if (decoder) decoder->pTrace = trace;
  }
}

// ---- Messages --------------------------------------------------------------

void ControlWindow::paintEvent(QPaintEvent* event) {
  const int w = width();
  const int h = std::max(0, height() - kVideoAreaAllowance);
  if (renderer_ && presenter_ && setupComplete_ && obj_.bConnected.load() == 0) {
    // While connected the connection thread keeps the picture current.
    inPaint_ = true;
    renderer_->Redraw();
    inPaint_ = false;
    CollectChanges();
  }
  QPainter painter(this);
  const QRegion asked = event->region();
  const QRect strip(0, h, w, height() - h);
  if (asked.intersects(strip)) painter.fillRect(strip, palette().window());
  // Painted from front_, which only this thread touches: the connection
  // thread is never held up by the copy to the screen.
  QRect shown;
  if (front_) {
    shown = QRect(0, 0, w, h).intersected(front_->Image().rect());
    const QRegion area = asked.intersected(shown);
    if (singleShown_) {
      PaintSingle(painter, area, w, h);
    } else {
      QRegion drawn;
      for (const PanePicture& p : gridPanes_) {
        if (!p.picture.Empty()) drawn += ToQRect(p.pane);
      }
      for (const QRect& r : area.subtracted(drawn)) {
        painter.drawImage(r.topLeft(), front_->Image(), r);
      }
      PaintGridPictures(painter, area.intersected(drawn));
    }
  }
  // Beyond a back surface the size of the screen there is no picture.
  const QRegion rest = asked.intersected(QRect(0, 0, w, h)).subtracted(QRegion(shown));
  for (const QRect& r : rest) painter.fillRect(r, Qt::black);
  if (FrameTrace* trace = trace_.load()) trace->Shown();
}

ControlWindow::PaintTarget ControlWindow::TargetFor(QPainter& painter) {
  PaintTarget t;
  QPaintEngine* engine = painter.paintEngine();
  QPaintDevice* device = engine ? engine->paintDevice() : nullptr;
  const QTransform toDevice = painter.deviceTransform();
  if (device && device->devType() == QInternal::Image &&
      toDevice.type() <= QTransform::TxTranslate) {
    QImage* image = static_cast<QImage*>(device);
    const QImage::Format f = image->format();
    if ((f == QImage::Format_RGB32 || f == QImage::Format_ARGB32_Premultiplied) &&
        image->devicePixelRatio() == 1.0) {
      t.view = PixelView{image->bits(), image->width(), image->height(),
                         static_cast<int>(image->bytesPerLine())};
      t.dx = static_cast<int>(toDevice.dx());
      t.dy = static_cast<int>(toDevice.dy());
      t.direct = true;
      return t;
    }
  }
  if (!canvas_ || canvas_->Width() != front_->Width() || canvas_->Height() != front_->Height()) {
    canvas_ = std::make_unique<Surface>();
    if (!canvas_->Create(front_->Width(), front_->Height())) {
      canvas_.reset();
      return t;
    }
  }
  t.view = canvas_->View();
  return t;
}

void ControlWindow::Deliver(QPainter& painter, const PaintTarget& target, const QRect& r) {
  if (!target.direct && canvas_) painter.drawImage(r.topLeft(), canvas_->Image(), r);
}

void ControlWindow::PaintSingle(QPainter& painter, const QRegion& region, int w, int h) {
  if (region.isEmpty()) return;
  // The picture is stretched straight onto the device the paint goes to:
  // one pass over the area, as the renderer's own stretch onto the back
  // surface would have been, without the copy after it.
  const PaintTarget t = TargetFor(painter);
  if (!t.view.pixels) return;
  const Rect area{t.dx, t.dy, t.dx + w, t.dy + h};
  const PixelView picture =
      singleShared_.Empty() ? singlePicture_.View() : Converted(singleShared_);
  for (const QRect& r : region) {
    const Rect clip = ClipOf(r, t.dx, t.dy);
    // Opaque, as drawing the picture through the painter would make it.
    StretchPixels(t.view, area, clip, picture, singleSource_, 0xFF000000u);
    text_.Draw(t.view, clip, hFontSmall_.get(), singleCaption_, t.dx + 4, t.dy + 4,
               kCaptionSingleColor);
    Deliver(painter, t, r);
  }
}

PixelView ControlWindow::Converted(const SharedPicture& picture) {
  const int w = picture.Width(), h = picture.Height();
  if ((pictureScratch_.Width() != w || pictureScratch_.Height() != h) &&
      !pictureScratch_.Create(w, h)) {
    return PixelView{};
  }
  ConvertInto(picture, pictureScratch_.View());
  return pictureScratch_.View();
}

void ControlWindow::ConvertInto(const SharedPicture& picture, const PixelView& into) {
  if (converter_.Convert(picture, into.pixels, into.stride)) return;
  // What a picture that cannot be converted shows, as on a channel's surface.
  for (int y = 0; y < into.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(into.pixels + static_cast<size_t>(y) * into.stride);
    std::fill(row, row + into.width, kPixelBlue200);
  }
}

void ControlWindow::PaintGridPictures(QPainter& painter, const QRegion& region) {
  if (region.isEmpty()) return;
  // Each picture is converted once into a scratch picture that stays in the
  // caches, then stretched onto the device with its border and caption over
  // it: the pixels the renderer would have put on the back surface.
  const PaintTarget t = TargetFor(painter);
  if (!t.view.pixels) return;
  for (const PanePicture& p : gridPanes_) {
    if (p.picture.Empty()) continue;
    const QRegion part = region.intersected(ToQRect(p.pane));
    if (part.isEmpty()) continue;
    const PixelView picture = Converted(p.picture);
    const Rect pane = Shifted(p.pane, t.dx, t.dy);
    for (const QRect& r : part) {
      const Rect clip = ClipOf(r, t.dx, t.dy);
      StretchPixels(t.view, pane, clip, picture, p.source, 0xFF000000u);
      DrawOutline(t.view, pane, clip, p.border | 0xFF000000u);
      text_.Draw(t.view, clip, hFontSmall_.get(), p.caption, pane.left + 4, pane.top + 4,
                 p.captionColor);
      Deliver(painter, t, r);
    }
  }
}

void ControlWindow::resizeEvent(QResizeEvent*) {
  if (presenter_) presenter_->SetSize(width(), height());
  if (!setupComplete_) return;
  // Only the geometry follows the size: what the session and a playback
  // turned on stays on, or a resize would leave no way out of a playback.
  LayOutToolbar();
  obj_.bLayoutDirty = 1;
  if (obj_.bConnected.load() == 0) renderer_->Redraw();
}

void ControlWindow::mouseDoubleClickEvent(QMouseEvent* event) {
  pointer_ = PackPoint(event->position().toPoint().x(), event->position().toPoint().y());
  if (event->button() == Qt::LeftButton) OnDoubleClick();
}

void ControlWindow::mouseMoveEvent(QMouseEvent* event) {
  pointer_ = PackPoint(event->position().toPoint().x(), event->position().toPoint().y());
}

void ControlWindow::leaveEvent(QEvent*) {
  pointer_ = PackPoint(kPointerAway, kPointerAway);
}

void ControlWindow::showEvent(QShowEvent*) {
  // The window it sits in tells when it is minimised.
  if (window() != this) window()->installEventFilter(this);
  UpdateDrawable();
}

void ControlWindow::hideEvent(QHideEvent*) {
  UpdateDrawable();
  pointer_ = PackPoint(kPointerAway, kPointerAway);
}

void ControlWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) UpdateDrawable();
  QWidget::changeEvent(event);
}

bool ControlWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == window() && watched != this &&
      (type == QEvent::WindowStateChange || type == QEvent::Show || type == QEvent::Hide)) {
    UpdateDrawable();
  }
  // Over the toolbar the pointer is over no pane; the window itself hears
  // nothing of moves over its child controls.
  if (watched != this && watched != window() &&
      (type == QEvent::Enter || type == QEvent::MouseMove || type == QEvent::HoverMove)) {
    pointer_ = PackPoint(kPointerAway, kPointerAway);
  }
  // Any mouse release on the slider, after a drag or a click on its groove,
  // counts; it is handled once the slider has taken its new position.
  // Mouse events still reach the filter of a disabled slider; a disabled
  // slider has no capture to release.
  if (watched == PositionSlider() && PositionSlider()->isEnabled() &&
      event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    // Until the release is handled the slider stays the user's: a step
    // served in between would otherwise put its count there to be read.
    sliderReleasePending_ = true;
    QMetaObject::invokeMethod(this, &ControlWindow::OnSliderReleased, Qt::QueuedConnection);
  }
  return QWidget::eventFilter(watched, event);
}

// ---- Commands --------------------------------------------------------------

void ControlWindow::OnCommand(uint32_t wParam, intptr_t lParam) {
  // After a partial set-up the decoders and surfaces the commands rely on
  // may be missing: the toolbar and the dialogs' notifications do nothing.
  if (!setupComplete_) return;
  const uint32_t id = wParam & 0xFFFF;
  const uint32_t code = wParam >> 16;
  const uint32_t param = static_cast<uint32_t>(lParam);
  if (id == kIdSettings && code == kButtonClicked) {
    settingsDialog_->show();
  } else if (id == kIdPlaybackRequest && code == kButtonClicked) {
    playbackDialog_->show();
    playbackDialog_->ClearList();
    Send(ComposeFileListRequest());
  } else if (code == NC_PLAYFILE) {
    PlayFile(reinterpret_cast<const char*>(lParam));
  } else if (code == NC_DRAWMODE) {
    ChooseDrawMode(param);
  } else if (code == NC_SELCHANNEL) {
    ShowChannelParams(param);
  } else if (code == NC_VIDEOPARAM) {
    SendVideoParams(id, param);
  } else if (id == kIdPlayPause && code == kButtonClicked) {
    TogglePause();
  } else if (id == kIdStop && code == kButtonClicked) {
    StopPlayback();
  } else if (id == kIdCapture && code == kButtonClicked) {
    Capture();
  } else if (id == kIdRecord && code == kButtonClicked) {
    ToggleRecording();
  }
}

void ControlWindow::PlayFile(const char* location) {
  // The text belongs to the dialog and lives only for this call.
  char copy[kFileLocationSize] = {};
  if (location) std::memcpy(copy, location, strnlen(location, kFileLocationSize - 1));
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  const FileRecord record = FileRecord::WithLocation(copy);
  Send(ComposePlayFileRequest(), record.bytes.data(), static_cast<uint32_t>(record.bytes.size()));
  // A recording the disabled button could no longer stop would take the
  // played recording's frames into slot 0's file.
  StopShownRecording();
  Enable(kIdRecord, false);
}

void ControlWindow::ChooseDrawMode(uint32_t drawMode) {
  // Only the three grids are layouts; anything else would index nothing or
  // a decoder beyond the 16.
  const uint32_t grid = ValidGridOr16(drawMode);
  // In a grid the record button reaches no decoder, so the channel shown
  // alone until now must not go on recording.
  const uint32_t left = obj_.dwDrawMode.load();
  if (left != grid) obj_.bSnapshot = 0;
  obj_.bFitViewToChannels = 0;  // the user's layout, not the recorder's
  obj_.dwDrawMode = grid;
  obj_.dwSavedDrawMode = grid;
  obj_.bLayoutDirty = 1;
  Send(ComposeSelectChannels(GridMask(grid >> 16)));
  MatchViewButtons(left);
}

void ControlWindow::ShowChannelParams(uint32_t comboIndex) {
  if (comboIndex == 0 || comboIndex > kMaxChannels) return;
  std::array<uint8_t, 4> entry;
  {
    std::lock_guard lock(obj_.videoParamLock);
    entry = obj_.byVideoParam[comboIndex - 1];
  }
  for (int i = 0; i < 4; ++i) settingsDialog_->SetTrackbarPos(213 + i, entry[i]);
}

void ControlWindow::SendVideoParams(uint32_t comboIndex, uint32_t videoParams) {
  const uint8_t brightness = videoParams & 0xFF;
  const uint8_t hue = (videoParams >> 8) & 0xFF;
  const uint8_t saturation = (videoParams >> 16) & 0xFF;
  const uint8_t contrast = (videoParams >> 24) & 0xFF;
  Send(ComposeVideoParamSet(static_cast<uint8_t>(comboIndex & 0xFF), saturation, contrast,
                            brightness, hue));
  // What was sent is now the channel's setting (index 0: every channel's),
  // so choosing the channel again shows it rather than the server's first
  // table.
  const std::array<uint8_t, 4> entry{brightness, hue, saturation, contrast};
  std::lock_guard lock(obj_.videoParamLock);
  if (comboIndex == 0) {
    obj_.byVideoParam.fill(entry);
  } else if (comboIndex <= kMaxChannels) {
    obj_.byVideoParam[comboIndex - 1] = entry;
  }
}

void ControlWindow::TogglePause() {
  if (obj_.bPaused.load() == 1) {
    obj_.bPaused = 0;
    SetText(kIdPlayPause, kCaptionPause);
  } else {
    obj_.bPaused = 1;
    SetText(kIdPlayPause, kCaptionPlay);
  }
}

void ControlWindow::StopPlayback() {
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  Enable(kIdPlayPause, false);
  Enable(kIdStop, false);
  Enable(kIdPosition, false);
  Enable(kIdSettings, true);
  Enable(kIdCapture, false);
  PositionSlider()->setValue(0);
  const uint32_t left = obj_.dwDrawMode.load();
  const uint32_t saved = obj_.dwSavedDrawMode.load();
  // A snapshot asked for during the playback is not taken in the grid.
  obj_.bSnapshot = 0;
  obj_.dwDrawMode = saved;
  // The server may have switched to one channel during the playback.
  MatchViewButtons(left);
  Send(ComposeSelectChannels(GridMask(saved >> 16)));
  // Frames of the recording still on their way land in slot 0 before its
  // signal flag is cleared.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  apDecoder_[0]->bSignal = 0;
  obj_.bLayoutDirty = 1;
}

void ControlWindow::Capture() {
  obj_.bSnapshot = 1;
}

CChannelDecoder* ControlWindow::ShownDecoder() const {
  const uint32_t m = obj_.dwDrawMode.load();
  return IsChannelView(m) ? Decoder(static_cast<int>(m)) : nullptr;
}

void ControlWindow::StopShownRecording() {
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder || decoder->bRecording.load() == 0) return;
  decoder->StopRecording();
  SetText(kIdRecord, kCaptionRecord);
}

void ControlWindow::ToggleRecording() {
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder) {
    // The server switched the view away from a recording channel: the
    // button, still showing "停止", ends that recording.
    for (int slot = 0; slot < kDecoderSlots; ++slot) {
      CChannelDecoder* d = Decoder(slot);
      if (d && d->bRecording.load() != 0) d->StopRecording();
    }
    SetText(kIdRecord, kCaptionRecord);
    return;
  }
  if (decoder->bRecording.load() == 0) {
    // A start that could not open the file leaves the decoder idle, and the
    // button keeps offering to record.
    if (decoder->StartRecording()) SetText(kIdRecord, kCaptionStopRecording);
  } else {
    decoder->StopRecording();
    SetText(kIdRecord, kCaptionRecord);
  }
}

void ControlWindow::OnSliderReleased() {
  // Read before serving the thread's calls below, any of which may be a step.
  const int released = PositionSlider()->value();
  if (!setupComplete_) {
    sliderReleasePending_ = false;
    return;
  }
  SetText(kIdPlayPause, kCaptionPause);
  {
    // The connection thread may hold csPosition while it waits for a call
    // on this thread: serve its calls while waiting for the lock.
    std::unique_lock<std::mutex> hold(obj_.csPosition, std::defer_lock);
    while (!hold.try_lock()) {
      calls_->Drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    obj_.dwPlayPos = static_cast<uint32_t>(released);
  }
  sliderReleasePending_ = false;
  obj_.bPaused = 0;
}

// ---- Pointer ---------------------------------------------------------------

void ControlWindow::OnDoubleClick() {
  if (!setupComplete_) return;
  const uint32_t m = obj_.dwDrawMode.load();
  uint32_t t = m;
  if (IsChannelView(m)) {
    t = obj_.dwSavedDrawMode.load();
    Enable(kIdRecord, false);
    Enable(kIdCapture, false);
    CChannelDecoder* shown = Decoder(static_cast<int>(m));
    if (shown->bSignal.load()) {
      SetText(kIdRecord, kCaptionRecord);
      shown->StopRecording();
    }
  } else if (const int side = GridSide(m)) {
    const QPoint global = options_.cursorPos ? options_.cursorPos() : QCursor::pos();
    const QPoint p = mapFromGlobal(global);
    const int pane = PaneAtPointer(side, width(), height(), p.x(), p.y());
    if (pane >= 0 && Decoder(pane)->bSignal.load()) t = static_cast<uint32_t>(pane);
  }
  // The playback view, and any word that is neither a channel nor a grid,
  // stays as it is.

  bool haveMask = true;
  uint16_t mask = 0;
  if (IsChannelView(t)) {
    CChannelDecoder* target = Decoder(static_cast<int>(t));
    if (target->bSignal.load()) {
      Enable(kIdRecord, true);
      Enable(kIdCapture, true);
      SetText(kIdRecord, kCaptionRecord);
      target->StopRecording();
      obj_.dwDrawMode = t;
      mask = static_cast<uint16_t>(1u << t);
    }
  } else if (t == kDrawPlayback) {
    mask = 0;
  } else if (const int side = GridSide(t)) {
    const int panes = side * side;
    mask = GridMask(static_cast<uint32_t>(panes));
    const uint32_t current = obj_.dwDrawMode.load();
    if (current != t) {
      for (int slot = 0; slot < panes; ++slot) {
        if (static_cast<uint32_t>(slot) != current) apDecoder_[slot]->bWaitKeyFrame = 1;
      }
    }
    Enable(kIdRecord, false);
    Enable(kIdCapture, false);
  } else {
    haveMask = false;
  }
  if (haveMask && obj_.bConnected.load() == 1) Send(ComposeSelectChannels(mask));
  if (obj_.dwDrawMode.load() != t) {
    obj_.bLayoutDirty = 1;
    // A snapshot asked for in the single view is not taken in the grid.
    obj_.bSnapshot = 0;
  }
  obj_.dwDrawMode = t;
  renderer_->Redraw();
}

}  // namespace zarvion
