// The control window on its own (no recorder): toolbar geometry and enabled
// states, the default view, partial set-ups, the pointer's pane test, the
// dialog notifications and the bridge the connection thread calls through.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QMouseEvent>
#include <QScreen>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "net/control_object.h"
#include "platform/registry.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"
#include "slider_test_util.h"
#include "ui_test_util.h"
#include "video/captions.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"
#include "window/control_window.h"
#include "window/notice_box.h"
#include "window/window_layout.h"

namespace zarvion {
namespace {

using testing::Pump;
using testing::WaitUntil;

constexpr int kToolbarIds[] = {kIdRecord,    kIdCapture, kIdSettings, kIdPlaybackRequest,
                               kIdPlayPause, kIdStop,    kIdPosition};

// Runs `fn` on a thread of its own, as the connection thread would, while
// this thread serves the window.
void OffGui(const std::function<void()>& fn) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    fn();
    done = true;
  });
  WaitUntil([&] { return done.load(); }, 5000);
  t.join();
}

struct Offline {
  ControlObject obj;
  std::unique_ptr<ControlWindow> window;
  std::vector<std::pair<QString, QString>> boxes;

  explicit Offline(SetupStep failAt = SetupStep::kNone, QSize size = QSize(644, 506)) {
    ControlWindowOptions options;
    options.failAt = failAt;
    options.startConnectionThread = false;
    options.showWarning = [this](const QString& caption, const QString& text) {
      boxes.emplace_back(caption, text);
    };
    window = std::make_unique<ControlWindow>(obj, nullptr, options);
    window->resize(size);
    window->show();
    Pump(20);
  }
  // Paints the back surface red, so that a later clear shows.
  void Smear() {
    std::lock_guard<std::mutex> hold(window->GetRenderer()->Lock());
    window->GetRenderer()->BackBuffer().Fill(0x00FF0000);
  }
  uint32_t BackPixel(int x, int y) {
    std::lock_guard<std::mutex> hold(window->GetRenderer()->Lock());
    const Surface* back = window->GetRenderer()->BackSurface();
    uint32_t v;
    std::memcpy(&v, back->Lock() + y * back->Stride() + x * 4, 4);
    return v & 0x00FFFFFF;
  }
  bool Enabled(int id) const { return window->Control(id)->isEnabled(); }
  QString Text(int id) const { return window->Button(id)->text(); }
};

// The four picture sliders of the settings dialog, brightness first.
std::vector<int> PictureSliderValues(SettingsDialog* settings) {
  std::vector<int> v;
  for (int id = kIdBrightness; id <= kIdContrast; ++id) {
    v.push_back(static_cast<QSlider*>(settings->Item(id))->value());
  }
  return v;
}

TEST(WindowLayout, ToolbarRectsFollowTheClientArea) {
  const QRect client(0, 0, 400, 300);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(ToolbarButtonRect(client, k), QRect(32 * k, 282, 32, 18));
  EXPECT_EQ(ToolbarSliderRect(client), QRect(192, 282, 208, 18));
  // Narrower than the buttons: the slider has no width, the buttons keep theirs.
  EXPECT_EQ(ToolbarSliderRect(QRect(0, 0, 150, 100)), QRect(192, 82, 0, 18));
  EXPECT_EQ(ToolbarButtonRect(QRect(0, 0, 150, 100), 5), QRect(160, 82, 32, 18));
}

TEST(WindowLayout, PaneHitBoxes) {
  // 2 x 2 in 404 x 426: W = H = 400.
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 3, 3), 0);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 203, 203), 0);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 2, 100), -1);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 204, 100), -1);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 205, 205), 3);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 405, 405), 3);
  EXPECT_EQ(PaneAtPointer(2, 404, 426, 406, 300), -1);
  // 3 x 3 in 306 x 328: pane 4 spans 104 < p < 206 both ways.
  EXPECT_EQ(PaneAtPointer(3, 306, 328, 105, 105), 4);
  EXPECT_EQ(PaneAtPointer(3, 306, 328, 205, 205), 4);
  EXPECT_EQ(PaneAtPointer(3, 306, 328, 104, 150), -1);
  EXPECT_EQ(PaneAtPointer(3, 306, 328, 206, 150), -1);
  EXPECT_EQ(PaneAtPointer(0, 306, 328, 100, 100), -1);
}

TEST(ControlWindowSetUp, ToolbarAfterSetUpAndResize) {
  Offline w;
  ASSERT_EQ(w.window->SetupResult(), 0);
  for (int id : kToolbarIds) EXPECT_EQ(w.Enabled(id), id == kIdSettings) << id;

  // What the session start and a playback start turn on, from the
  // connection thread's side of the bridge, with the record button of a
  // channel shown alone.
  OffGui([&] {
    w.obj.ui->SessionStarted(kFlagPlayback, 4);
    w.obj.ui->PlaybackStarted(100);
  });
  w.window->Control(kIdRecord)->setEnabled(true);
  w.window->Control(kIdSettings)->setEnabled(true);
  for (int id : kToolbarIds) EXPECT_TRUE(w.Enabled(id)) << id;

  w.Smear();
  w.window->resize(400, 300);
  Pump(20);
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(w.window->Control(kToolbarButtons[k])->geometry(), QRect(32 * k, 282, 32, 18));
  }
  EXPECT_EQ(w.window->Control(kIdPosition)->geometry(), QRect(192, 282, 208, 18));
  // A resize changes no enabled state: a playback can still be paused,
  // stopped and requested again.
  for (int id : kToolbarIds) EXPECT_TRUE(w.Enabled(id)) << id;
  w.window->showMaximized();
  Pump(20);
  for (int id : kToolbarIds) EXPECT_TRUE(w.Enabled(id)) << id;
  // Not connected: the new layout is drawn at once, on a cleared area.
  EXPECT_EQ(w.BackPixel(60, 60), 0x0000C8u);
}

TEST(ControlWindowSetUp, DefaultViewFromTheStore) {
  struct Case {
    bool stored;
    uint32_t value;
    uint32_t view;
  };
  const Case cases[] = {{false, 0, kDrawGrid16},         {true, kDrawGrid9, kDrawGrid9},
                        {true, kDrawGrid4, kDrawGrid4},  {true, 0x00200000, kDrawGrid16},
                        {true, 0xFFFFFFFF, kDrawGrid16}, {true, 0x00050000, kDrawGrid16},
                        {true, 5, kDrawGrid16},          {true, 0, kDrawGrid16}};
  for (const Case& c : cases) {
    if (c.stored) {
      ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, c.value));
    } else {
      ASSERT_TRUE(RegDeleteValue(Hive::kCurrentUser, kSettingsKey, kDrawModeValue));
    }
    Offline w;
    EXPECT_EQ(w.obj.dwDrawMode.load(), c.view) << std::hex << c.value;
    EXPECT_EQ(w.obj.dwSavedDrawMode.load(), c.view) << std::hex << c.value;
    // The window and a layout chosen in the dialog never leave the grids.
    w.window->OnGridChosen(c.value);
    EXPECT_TRUE(IsGridView(w.obj.dwDrawMode.load())) << std::hex << c.value;
  }
  EXPECT_TRUE(RegDeleteValue(Hive::kCurrentUser, kSettingsKey, kDrawModeValue));
}

TEST(ControlWindowSetUp, PartialSetUpStaysInert) {
  const SetupStep steps[] = {SetupStep::kServerText,     SetupStep::kSocketLibrary,
                             SetupStep::kDisplayObject,  SetupStep::kCooperativeLevel,
                             SetupStep::kPrimarySurface, SetupStep::kBackSurface,
                             SetupStep::kClipper};
  for (SetupStep step : steps) {
    SCOPED_TRACE(static_cast<int>(step));
    auto w = std::make_unique<Offline>(step);
    ControlWindow& window = *w->window;
    EXPECT_EQ(window.SetupResult(), -1);
    EXPECT_EQ(window.FailedStep(), step);
    EXPECT_EQ(w->obj.ui, nullptr);
    EXPECT_EQ(w->obj.video, nullptr);
    EXPECT_EQ(window.Decoder(0), nullptr);
    EXPECT_EQ(window.Settings() != nullptr, step != SetupStep::kServerText);
    EXPECT_EQ(window.Playback() != nullptr, step != SetupStep::kServerText);
    EXPECT_EQ(w->obj.hStopEvent != nullptr, step > SetupStep::kSocketLibrary);
    EXPECT_EQ(w->obj.pFrameBuffer, nullptr);
    for (int id : kToolbarIds) EXPECT_FALSE(w->Enabled(id)) << id;

    // Every handler, in every view, must leave the missing pieces alone.
    const uint32_t before = w->obj.dwDrawMode.load();
    for (uint32_t mode : {kDrawGrid16, 5u, kDrawPlayback}) {
      w->obj.dwDrawMode = mode;
      window.OnRecord();
      window.OnCapture();
      window.OnSettings();
      window.OnPlaybackRequest();
      window.OnPlayPause();
      window.OnStop();
      window.OnFileChosen("x");
      window.OnGridChosen(kDrawGrid4);
      window.OnChannelSelected(3);
      window.OnPictureChanged(3, 0x44400080);
      window.OnSliderReleased();
      QCursor::setPos(window.mapToGlobal(QPoint(50, 50)));
      window.OnDoubleClick();
      window.resize(300 + static_cast<int>(mode & 7), 200);
      window.grab();
      Pump(5);
      EXPECT_EQ(w->obj.dwDrawMode.load(), mode);
    }
    w->obj.dwDrawMode = before;
    w.reset();
  }
}

TEST(ControlWindowPointer, DoubleClickEntersAndLeavesTheSingleView) {
  Offline w;
  ASSERT_EQ(w.obj.dwDrawMode.load(), kDrawGrid16);
  for (int slot = 0; slot < 16; ++slot) w.window->Decoder(slot)->bWaitKeyFrame = 0;
  // In 644 x 506 the 4 x 4 panes are 159 x 119; pane 5 is row 1, column 1.
  const QPoint pane5(243, 183);
  auto doubleClick = [&](QPoint at) {
    QCursor::setPos(w.window->mapToGlobal(at));
    QTest::mouseDClick(w.window.get(), Qt::LeftButton, {}, at);
  };

  // A pane whose channel has sent nothing stays in the grid.
  doubleClick(pane5);
  EXPECT_EQ(w.obj.dwDrawMode.load(), kDrawGrid16);
  EXPECT_FALSE(w.Enabled(kIdRecord));

  w.window->Decoder(5)->bSignal = 1;
  w.window->Button(kIdRecord)->setText(QString::fromUtf8("停止"));
  doubleClick(pane5);
  EXPECT_EQ(w.obj.dwDrawMode.load(), 5u);
  EXPECT_TRUE(w.Enabled(kIdRecord));
  EXPECT_TRUE(w.Enabled(kIdCapture));
  EXPECT_EQ(w.Text(kIdRecord), QString::fromUtf8("录像"));
  for (int slot = 0; slot < 16; ++slot) EXPECT_EQ(w.window->Decoder(slot)->bWaitKeyFrame, 0);

  w.Smear();
  doubleClick(QPoint(600, 20));
  EXPECT_EQ(w.obj.dwDrawMode.load(), kDrawGrid16);
  // Back in the grid the area is cleared and redrawn at once.
  EXPECT_EQ(w.BackPixel(60, 60), 0x0000C8u);
  EXPECT_FALSE(w.Enabled(kIdRecord));
  EXPECT_FALSE(w.Enabled(kIdCapture));
  for (int slot = 0; slot < 16; ++slot) {
    EXPECT_EQ(w.window->Decoder(slot)->bWaitKeyFrame, slot == 5 ? 0 : 1) << slot;
  }

  // The playback view is left only by the stop button.
  w.obj.dwDrawMode = kDrawPlayback;
  doubleClick(pane5);
  EXPECT_EQ(w.obj.dwDrawMode.load(), kDrawPlayback);
}

// Counts what the renderer presents and the window paints.
// How many pixels of the top-left of `shot` differ from `expected` (colour
// only).
int Differing(const QImage& shot, const Surface& expected, int top = 0) {
  int n = 0;
  for (int y = top; y < expected.Height(); ++y) {
    for (int x = 0; x < expected.Width(); ++x) {
      uint32_t e;
      std::memcpy(&e, expected.Lock() + y * expected.Stride() + x * 4, 4);
      n += (shot.pixel(x, y) & 0xFFFFFF) != (e & 0xFFFFFF);
    }
  }
  return n;
}

struct CountingTrace : FrameTrace {
  void Received(int, const uint8_t*, uint32_t, uint16_t) override {}
  void Composed() override { ++composed; }
  void Taken() override { ++taken; }
  void Shown() override { ++shown; }
  std::atomic<int> composed{0}, taken{0}, shown{0};
};

TEST(ControlWindowPointer, HighlightFollowsThePointerOffTheVideoArea) {
  Offline w;
  // 644 x 486 of video: pane 0 spans 0 .. 161 x 0 .. 122.
  auto redraw = [&] {
    w.obj.bLayoutDirty = 1;
    w.window->GetRenderer()->Redraw();
  };
  auto move = [&](QWidget* over, QPoint at) {
    QMouseEvent e(QEvent::MouseMove, at, over->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(over, &e);
  };
  move(w.window.get(), QPoint(60, 60));
  redraw();
  EXPECT_EQ(w.BackPixel(0, 60), 0xFFFF00u);
  // On its border line: no pane.
  move(w.window.get(), QPoint(0, 60));
  redraw();
  EXPECT_EQ(w.BackPixel(0, 60), 0u);
  move(w.window.get(), QPoint(60, 60));
  redraw();
  ASSERT_EQ(w.BackPixel(0, 60), 0xFFFF00u);
  // Straight onto a toolbar button: the window hears no move of its own.
  QWidget* button = w.window->Control(kIdSettings);
  QEvent enter(QEvent::Enter);
  QCoreApplication::sendEvent(button, &enter);
  move(button, QPoint(5, 5));
  redraw();
  EXPECT_EQ(w.BackPixel(0, 60), 0u);
  move(w.window.get(), QPoint(60, 60));
  redraw();
  ASSERT_EQ(w.BackPixel(0, 60), 0xFFFF00u);
  // Out of the window.
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(w.window.get(), &leave);
  redraw();
  EXPECT_EQ(w.BackPixel(0, 60), 0u);
}

TEST(ControlWindowPaint, NothingIsComposedWhileTheWindowCannotBeSeen) {
  Offline w;
  CountingTrace trace;
  w.window->SetFrameTrace(&trace);
  w.obj.bLayoutDirty = 1;
  w.window->GetRenderer()->Redraw();
  EXPECT_EQ(trace.composed, 1);

  w.window->hide();
  Pump(20);
  w.Smear();
  w.obj.bLayoutDirty = 1;
  w.window->GetRenderer()->Redraw();
  EXPECT_EQ(trace.composed, 1);
  EXPECT_EQ(w.BackPixel(60, 60), 0xFF0000u);

  w.window->showMinimized();
  Pump(20);
  w.window->GetRenderer()->Redraw();
  EXPECT_EQ(trace.composed, 1);
  EXPECT_EQ(w.BackPixel(60, 60), 0xFF0000u);

  w.window->showNormal();
  Pump(20);
  w.window->GetRenderer()->Redraw();
  EXPECT_EQ(trace.composed, 2);
  EXPECT_EQ(w.BackPixel(60, 60), 0x0000C8u);
  w.window->SetFrameTrace(nullptr);
}

TEST(ControlWindowPaint, PaintShowsTheBackSurfaceWithoutWaitingForItsLock) {
  Offline w;
  CountingTrace trace;
  w.window->SetFrameTrace(&trace);
  Renderer& renderer = *w.window->GetRenderer();
  w.obj.bConnected = 1;  // the connection thread's redraws only
  {
    std::lock_guard<std::mutex> hold(renderer.Lock());
    renderer.BackBuffer().Fill(0x00123456);
  }
  // As the connection thread presents: the window collects at the next
  // refresh and repaints.
  OffGui([&] {
    renderer.ClearView();
    {
      std::lock_guard<std::mutex> hold(renderer.Lock());
      renderer.BackBuffer().DrawBorder(10, 10, 100, 80, 0x00ABCDEF);
    }
    renderer.Redraw();
  });
  ASSERT_TRUE(WaitUntil([&] { return trace.taken > 0 && trace.shown > 0; }, 5000));
  std::atomic<bool> held{false}, release{false}, released{false};
  std::thread holder([&] {
    std::lock_guard<std::mutex> hold(renderer.Lock());
    held = true;
    // Let go after a while in any case, so a paint that waits for the lock
    // fails the test instead of hanging it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!release && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    released = true;
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const QImage shot = w.window->grab().toImage();
  const bool paintedWhileHeld = !released;
  release = true;
  holder.join();
  EXPECT_TRUE(paintedWhileHeld);
  ASSERT_EQ(shot.width(), 644);
  EXPECT_EQ(shot.pixel(10, 40) & 0xFFFFFF, 0xABCDEFu);
  EXPECT_EQ(shot.pixel(50, 40) & 0xFFFFFF, 0x0000C8u);
  EXPECT_EQ(shot.pixel(99, 79) & 0xFFFFFF, 0xABCDEFu);
  w.obj.bConnected = 0;
  w.window->SetFrameTrace(nullptr);
}

// The window stretches a single view onto the screen itself: what it shows,
// painted straight into its backing store or through a grab, is exactly the
// picture the renderer would have composed (stretch and caption), while the
// back surface is left alone; a grid afterwards is shown from the back
// surface again, over the whole area.
TEST(ControlWindowPaint, TheSingleViewIsShownAsTheRendererWouldComposeIt) {
  Offline w;
  CountingTrace trace;
  w.window->SetFrameTrace(&trace);
  Renderer& renderer = *w.window->GetRenderer();
  CChannelDecoder* d = w.window->Decoder(2);
  w.Smear();
  {
    std::lock_guard<std::mutex> hold(renderer.Lock());
    uint8_t* p = d->pSurface->Lock();
    for (int y = 0; y < 288; ++y) {
      for (int x = 0; x < 352; ++x) {
        const uint32_t v = static_cast<uint32_t>((y << 12) | (x << 2) | 0x00800000);
        std::memcpy(p + y * d->pSurface->Stride() + x * 4, &v, 4);
      }
    }
    ++d->dwPictureSerial;
  }
  d->nFps = 7;
  d->nBps = 1234;
  w.obj.bConnected = 1;  // the connection thread's redraws only
  w.obj.dwDrawMode = 2;
  OffGui([&] { renderer.Redraw(); });
  ASSERT_TRUE(WaitUntil([&] { return trace.shown > 0; }, 5000));
  EXPECT_EQ(w.BackPixel(300, 200), 0xFF0000u);

  Surface expected;
  ASSERT_TRUE(expected.Create(644, 486));
  ASSERT_TRUE(expected.StretchFrom(expected.Bounds(), *d->pSurface, d->rcSurface));
  const Font small(12);
  expected.DrawText(&small, "CH 3 07fps 01234Bps", 4, 4, kCaptionSingleColor);
  auto differing = [&](const QImage& shot) { return Differing(shot, expected); };
  const QImage screen = QGuiApplication::primaryScreen()->grabWindow(w.window->winId()).toImage();
  ASSERT_GE(screen.height(), 486);
  EXPECT_EQ(differing(screen), 0);
  EXPECT_EQ(differing(w.window->grab().toImage()), 0);

  // A redraw on this thread (a double-click does one) with a new picture,
  // a refresh after the last present, asks for a present under the
  // renderer lock: it must not take the lock again.
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  {
    std::lock_guard<std::mutex> hold(renderer.Lock());
    ++d->dwPictureSerial;
  }
  const int before = trace.shown;
  renderer.Redraw();
  ASSERT_TRUE(WaitUntil([&] { return trace.shown > before; }, 5000));

  const int shown = trace.shown;
  w.obj.dwDrawMode = 0x00040000;
  w.obj.bLayoutDirty = 1;
  OffGui([&] { renderer.Redraw(); });
  ASSERT_TRUE(WaitUntil([&] { return trace.shown > shown; }, 5000));
  const QImage grid = QGuiApplication::primaryScreen()->grabWindow(w.window->winId()).toImage();
  for (const QPoint at : {QPoint(100, 100), QPoint(500, 400), QPoint(600, 60)}) {
    EXPECT_EQ(grid.pixel(at) & 0xFFFFFF, 0x0000C8u) << at.x() << "," << at.y();
  }
  w.obj.bConnected = 0;
  w.window->SetFrameTrace(nullptr);
}

// The window draws the grid panes' pictures itself, straight from the
// decoders: what it shows, in its backing store and through a grab, is
// exactly what the renderer would have composed (picture, border, caption);
// a highlight is drawn over the same picture, and a pane whose channel
// shows a notice goes back to the back surface.
TEST(ControlWindowPaint, GridPanesAreShownAsTheRendererWouldComposeThem) {
  Offline w;
  CountingTrace trace;
  w.window->SetFrameTrace(&trace);
  Renderer& renderer = *w.window->GetRenderer();
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(w.window.get(), &leave);
  dvrsim::Mp43Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(25, 25, 400000, &error)) << error;
  std::vector<dvrsim::EncodedFrame> frames(4);
  for (int c = 0; c < 4; ++c) {
    dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
    dvrsim::DrawLivePicture(&canvas, c, 3 * c);
    ASSERT_TRUE(encoder.Encode(canvas, true, &frames[static_cast<size_t>(c)]));
  }
  w.obj.bConnected = 1;  // the connection thread's redraws only
  w.obj.dwDrawMode = 0x00040000;
  w.obj.bLayoutDirty = 1;
  auto place = [&](int slot, const std::vector<uint8_t>& bytes) {
    const int before = trace.shown;
    OffGui([&] {
      EXPECT_TRUE(w.window->Decoder(slot)->Decode(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                                  kAviIfKeyFrame));
      renderer.PlaceChannel(slot);
      renderer.Redraw();
    });
    ASSERT_TRUE(WaitUntil([&] { return trace.shown > before; }, 5000));
  };
  {
    const int before = trace.shown;
    OffGui([&] { renderer.Redraw(); });
    ASSERT_TRUE(WaitUntil([&] { return trace.shown > before; }, 5000));
  }
  for (int c = 0; c < 4; ++c) place(c, frames[static_cast<size_t>(c)].bytes);

  auto grabs = [&] {
    return std::vector<QImage>{
        QGuiApplication::primaryScreen()->grabWindow(w.window->winId()).toImage(),
        w.window->grab().toImage()};
  };
  const std::vector<QImage> shown = grabs();
  // The same composition on a surface of the test's own, from the pictures
  // converted as the renderer converts them.
  const Font small(12);
  Surface expected;
  ASSERT_TRUE(expected.Create(644, 486));
  expected.Fill(kPixelBlue200);
  auto compose = [&](int slot, uint32_t border, uint32_t captionColor) {
    CChannelDecoder* d = w.window->Decoder(slot);
    const Rect pane = PaneRect(2, slot / 2, slot % 2, 644, 486);
    std::lock_guard<std::mutex> hold(renderer.Lock());
    d->CatchUp();
    ASSERT_TRUE(expected.StretchFrom(pane, *d->pSurface, d->rcSurface));
    DrawOutline(expected.View(), pane, expected.Bounds(), border);
    expected.DrawText(&small, FormatPaneCaption(slot + 1, true), pane.left + 4, pane.top + 4,
                      captionColor);
  };
  for (int c = 0; c < 4; ++c) compose(c, kBorderPane, kCaptionPaneColor);
  auto differing = [&](const QImage& shot) { return Differing(shot, expected); };
  ASSERT_GE(shown[0].height(), 486);
  EXPECT_EQ(differing(shown[0]), 0);
  EXPECT_EQ(differing(shown[1]), 0);

  // The pointer over pane 3: its border and caption change over the same
  // picture, with no new frame.
  QMouseEvent move(QEvent::MouseMove, QPointF(500, 400), QPointF(500, 400), Qt::NoButton,
                   Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.window.get(), &move);
  {
    const int before = trace.shown;
    OffGui([&] { renderer.Redraw(); });
    ASSERT_TRUE(WaitUntil([&] { return trace.shown > before; }, 5000));
  }
  compose(3, kBorderPointer, kCaptionPointerColor);
  for (const QImage& shot : grabs()) EXPECT_EQ(differing(shot), 0);

  // Pane 1's channel sends what cannot be decoded: the red notice shows.
  place(1, std::vector<uint8_t>(64, 0xFF));
  for (const QImage& shot : grabs()) {
    EXPECT_EQ(shot.pixel(340, 30) & 0xFFFFFF, 0x960000u);
    EXPECT_EQ(shot.pixel(150, 100) & 0xFFFFFF, shown[0].pixel(150, 100) & 0xFFFFFF);
  }

  // The single view of a channel whose picture is not converted yet: the
  // window converts the shared picture itself (the caption, with its
  // changing rates, aside).
  w.obj.dwDrawMode = 2;
  place(2, frames[2].bytes);
  const std::vector<QImage> single = grabs();
  {
    CChannelDecoder* d = w.window->Decoder(2);
    std::lock_guard<std::mutex> hold(renderer.Lock());
    d->CatchUp();
    ASSERT_TRUE(expected.StretchFrom(expected.Bounds(), *d->pSurface, d->rcSurface));
  }
  for (const QImage& shot : single) EXPECT_EQ(Differing(shot, expected, 20), 0);
  w.obj.bConnected = 0;
  w.window->SetFrameTrace(nullptr);
}

// Hidden, the window's frames are decoded and nothing more; hidden a while,
// its surfaces and its decoders' go; shown again, it shows the latest
// pictures at once, as the renderer would compose them.
TEST(ControlWindowPaint, AHiddenWindowGivesItsSurfacesBackAndShowsTheLatestPictures) {
  Offline w;
  CountingTrace trace;
  w.window->SetFrameTrace(&trace);
  Renderer& renderer = *w.window->GetRenderer();
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(w.window.get(), &leave);
  dvrsim::Mp43Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(25, 25, 400000, &error)) << error;
  auto encode = [&](int c, int t) {
    dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
    dvrsim::DrawLivePicture(&canvas, c, t);
    dvrsim::EncodedFrame f;
    EXPECT_TRUE(encoder.Encode(canvas, true, &f));
    return f.bytes;
  };
  w.obj.bConnected = 1;
  w.obj.dwDrawMode = 0x00040000;
  w.obj.bLayoutDirty = 1;
  auto feed = [&](int t) {
    for (int c = 0; c < 4; ++c) {
      const std::vector<uint8_t> bytes = encode(c, t + c);
      OffGui([&] {
        EXPECT_TRUE(w.window->Decoder(c)->Decode(bytes.data(),
                                                 static_cast<uint32_t>(bytes.size()), kAviIfKeyFrame));
        renderer.PlaceChannel(c);
        renderer.Redraw();
      });
    }
  };
  feed(0);
  ASSERT_TRUE(WaitUntil([&] { return trace.shown > 0; }, 5000));

  w.window->SetHiddenReleaseDelay(std::chrono::milliseconds(30));
  w.window->hide();
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<std::mutex> hold(renderer.Lock());
        return !renderer.BackSurface()->Valid();
      },
      5000));
  uint32_t converted = 0;
  for (int c = 0; c < 4; ++c) {
    EXPECT_TRUE(w.window->Decoder(c)->SurfaceReleased()) << c;
    converted += w.window->Decoder(c)->dwConversions.load();
  }
  const int composed = trace.composed.load();
  feed(9);
  Pump(20);
  EXPECT_EQ(trace.composed.load(), composed);
  for (int c = 0; c < 4; ++c) converted -= w.window->Decoder(c)->dwConversions.load();
  EXPECT_EQ(converted, 0u) << "nothing converted while hidden";

  w.window->show();
  Pump(50);
  const QImage shown = w.window->grab().toImage();
  const Font small(12);
  Surface expected;
  ASSERT_TRUE(expected.Create(644, 486));
  expected.Fill(kPixelBlue200);
  for (int c = 0; c < 4; ++c) {
    CChannelDecoder* d = w.window->Decoder(c);
    const Rect pane = PaneRect(2, c / 2, c % 2, 644, 486);
    std::lock_guard<std::mutex> hold(renderer.Lock());
    d->CatchUp();
    ASSERT_TRUE(expected.StretchFrom(pane, *d->pSurface, d->rcSurface));
    DrawOutline(expected.View(), pane, expected.Bounds(), kBorderPane);
    expected.DrawText(&small, FormatPaneCaption(c + 1, true), pane.left + 4, pane.top + 4,
                      kCaptionPaneColor);
  }
  EXPECT_EQ(Differing(shown, expected), 0);
  w.obj.bConnected = 0;
  w.window->SetFrameTrace(nullptr);
}

TEST(ControlWindowCommands, DialogNotificationsStayInsideTheTables) {
  Offline w;
  SettingsDialog* settings = w.window->Settings();
  auto positions = [&] { return PictureSliderValues(settings); };
  w.obj.byVideoParam[2] = {10, 20, 30, 40};
  w.obj.byVideoParam[15] = {200, 100, 90, 80};
  const std::vector<int> start = positions();
  w.window->OnChannelSelected(0);
  EXPECT_EQ(positions(), start);
  w.window->OnChannelSelected(3);
  EXPECT_EQ(positions(), (std::vector<int>{10, 20, 30, 40}));
  w.window->OnChannelSelected(16);
  EXPECT_EQ(positions(), (std::vector<int>{200, 100, 90, 80}));
  for (int outside : {17, 255, -1}) {
    w.window->OnChannelSelected(outside);
    EXPECT_EQ(positions(), (std::vector<int>{200, 100, 90, 80}));
  }

  // Play/pause toggles the pacing and its caption, and twice is no change.
  w.obj.bPaused = 1;
  w.window->OnPlayPause();
  EXPECT_EQ(w.obj.bPaused.load(), 0u);
  EXPECT_EQ(w.Text(kIdPlayPause), QString::fromUtf8("暂停"));
  w.window->OnPlayPause();
  EXPECT_EQ(w.obj.bPaused.load(), 1u);
  EXPECT_EQ(w.Text(kIdPlayPause), QString::fromUtf8("播放"));

  // A location longer than a record holds is cut.
  w.window->OnFileChosen(QByteArray(400, 'a'));
  EXPECT_FALSE(w.Enabled(kIdRecord));
  EXPECT_EQ(w.obj.bPaused.load(), 1u);
}

TEST(ControlWindowCommands, SliderReleaseResumesOnlyWhenTheSliderIsOn) {
  Offline w;
  QSlider* slider = w.window->PositionSlider();
  slider->setRange(0, 100);
  w.obj.bPaused = 1;
  w.obj.dwPlayPos = 7;
  const QPoint onGroove(slider->width() / 2, slider->height() / 2);

  // After a stop the slider is off: a click on it is no release.
  QTest::mouseClick(slider, Qt::LeftButton, {}, onGroove);
  Pump(20);
  EXPECT_EQ(w.obj.bPaused.load(), 1u);
  EXPECT_EQ(w.obj.dwPlayPos.load(), 7u);
  EXPECT_EQ(w.Text(kIdPlayPause), QString::fromUtf8("播放"));

  slider->setEnabled(true);
  QTest::mouseClick(slider, Qt::LeftButton, {}, onGroove);
  Pump(20);
  EXPECT_EQ(w.obj.bPaused.load(), 0u);
  EXPECT_EQ(w.obj.dwPlayPos.load(), static_cast<uint32_t>(slider->value()));
  EXPECT_NE(slider->value(), 0);
  EXPECT_EQ(w.Text(kIdPlayPause), QString::fromUtf8("暂停"));
}

TEST(ControlWindowCommands, StepsDoNotMoveAHeldSlider) {
  Offline w;
  QSlider* slider = w.window->PositionSlider();
  OffGui([&] {
    w.obj.ui->PlaybackStarted(100);
    w.obj.ui->PlaybackPosition(10);
  });
  ASSERT_EQ(slider->value(), 10);
  // Press on the handle, drag to 60 and hold still while steps arrive.
  zarvion::testing::PressSliderHandle(slider);
  ASSERT_TRUE(slider->isSliderDown());
  slider->setSliderPosition(60);
  OffGui([&] {
    for (uint32_t pos = 11; pos < 15; ++pos) w.obj.ui->PlaybackPosition(pos);
  });
  EXPECT_EQ(slider->value(), 60);
  // The release seeks to where the user let go.
  w.window->OnSliderReleased();
  slider->setSliderDown(false);
  EXPECT_EQ(w.obj.dwPlayPos.load(), 60u);
  EXPECT_EQ(w.obj.bPaused.load(), 0u);
  // Let go, the slider follows the steps again.
  OffGui([&] { w.obj.ui->PlaybackPosition(61); });
  EXPECT_EQ(slider->value(), 61);
}

TEST(ControlWindowCommands, LeavingTheSingleViewMatchesButtonsAndDropsTheSnapshot) {
  Offline w;
  const std::string bitmaps = testing::TestHome() + "/Holmvard/Bitmap";
  auto bmpCount = [&] {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(bitmaps, ec)) {
      n += e.path().extension() == ".bmp";
    }
    return n;
  };
  const int bmpsBefore = bmpCount();
  w.window->Decoder(0)->bSignal = 1;
  const QPoint pane0(40, 40);
  auto enlarge = [&] {
    QCursor::setPos(w.window->mapToGlobal(pane0));
    QTest::mouseDClick(w.window.get(), Qt::LeftButton, {}, pane0);
    ASSERT_EQ(w.obj.dwDrawMode.load(), 0u);
    ASSERT_TRUE(w.Enabled(kIdCapture));
  };

  // A grid chosen in the settings dialog while a capture is pending.
  enlarge();
  w.window->Button(kIdCapture)->click();
  w.window->OnGridChosen(kDrawGrid9);
  EXPECT_EQ(w.obj.bSnapshot.load(), 0u);
  EXPECT_FALSE(w.Enabled(kIdRecord));
  EXPECT_FALSE(w.Enabled(kIdCapture));
  Pump(50);
  // The next enlargement writes no picture nobody asked for.
  enlarge();
  w.window->repaint();
  Pump(50);
  EXPECT_EQ(bmpCount(), bmpsBefore);

  // The double-click back to the grid drops it too.
  w.window->Button(kIdCapture)->click();
  QTest::mouseDClick(w.window.get(), Qt::LeftButton, {}, pane0);
  EXPECT_EQ(w.obj.dwDrawMode.load(), kDrawGrid9);
  EXPECT_EQ(w.obj.bSnapshot.load(), 0u);

  // The server's view changes reach the buttons through the bridge: one
  // channel with a signal enables both, a grid neither, the playback view
  // capture only.
  for (auto [view, record, capture] :
       {std::tuple{0u, true, true}, std::tuple{3u, false, true},
        std::tuple{kDrawGrid16, false, false}, std::tuple{kDrawPlayback, false, true}}) {
    const uint32_t left = w.obj.dwDrawMode.load();
    w.obj.dwDrawMode = view;
    OffGui([&] { w.obj.ui->ViewChanged(left); });
    EXPECT_EQ(w.Enabled(kIdRecord), record) << view;
    EXPECT_EQ(w.Enabled(kIdCapture), capture) << view;
  }
  // A playback stop leaves the grid with neither, and no pending capture.
  w.window->Button(kIdCapture)->click();
  w.window->OnStop();
  EXPECT_EQ(w.obj.dwDrawMode.load(), kDrawGrid9);
  EXPECT_EQ(w.obj.bSnapshot.load(), 0u);
  EXPECT_FALSE(w.Enabled(kIdRecord));
  EXPECT_FALSE(w.Enabled(kIdCapture));
  EXPECT_EQ(bmpCount(), bmpsBefore);
}

TEST(ControlWindowCommands, SentPictureSettingsBecomeTheTable) {
  Offline w;
  SettingsDialog* settings = w.window->Settings();
  auto positions = [&] { return PictureSliderValues(settings); };
  w.obj.byVideoParam[2] = {10, 20, 30, 40};
  w.obj.byVideoParam[4] = {50, 60, 70, 80};
  w.window->OnPictureChanged(3, 0x44640080);
  w.window->OnChannelSelected(5);
  EXPECT_EQ(positions(), (std::vector<int>{50, 60, 70, 80}));
  w.window->OnChannelSelected(3);
  EXPECT_EQ(positions(), (std::vector<int>{128, 0, 100, 68}));
  // Index 0 is every channel.
  w.window->OnPictureChanged(0, 0x44400080);
  for (int k : {1, 5, 16}) {
    w.window->OnChannelSelected(k);
    EXPECT_EQ(positions(), (std::vector<int>{128, 0, 64, 68})) << k;
  }
  // An index beyond the table changes nothing.
  w.window->OnPictureChanged(17, 0x01010101);
  w.window->OnChannelSelected(16);
  EXPECT_EQ(positions(), (std::vector<int>{128, 0, 64, 68}));
}

TEST(ControlWindowCommands, LeavingTheSingleViewCompletesItsRecording) {
  Offline w;
  CChannelDecoder* channel1 = w.window->Decoder(0);
  channel1->bSignal = 1;
  auto enlargeAndRecord = [&] {
    const QPoint pane0(40, 40);
    QCursor::setPos(w.window->mapToGlobal(pane0));
    QTest::mouseDClick(w.window.get(), Qt::LeftButton, {}, pane0);
    ASSERT_EQ(w.obj.dwDrawMode.load(), 0u);
    w.window->Button(kIdRecord)->click();
    ASSERT_EQ(channel1->bRecording.load(), 1);
    ASSERT_EQ(w.Text(kIdRecord), QString::fromUtf8("停止"));
  };

  // A grid chosen in the settings dialog: the record button no longer
  // reaches the channel, so its recording ends with the view.
  enlargeAndRecord();
  w.window->OnGridChosen(kDrawGrid9);
  EXPECT_EQ(channel1->bRecording.load(), 0);
  EXPECT_EQ(w.Text(kIdRecord), QString::fromUtf8("录像"));

  // A playback request turns the record button off; slot 0 would record
  // the played frames.
  enlargeAndRecord();
  w.window->OnFileChosen("CH01");
  EXPECT_EQ(channel1->bRecording.load(), 0);
  EXPECT_FALSE(w.Enabled(kIdRecord));
  EXPECT_EQ(w.Text(kIdRecord), QString::fromUtf8("录像"));

  // The server switches to a grid on its own: the button, still enabled and
  // showing "停止", ends the recording that no view shows any more.
  w.obj.dwDrawMode = kDrawGrid16;
  enlargeAndRecord();
  w.obj.dwDrawMode = kDrawGrid16;
  w.window->Button(kIdRecord)->click();
  EXPECT_EQ(channel1->bRecording.load(), 0);
  EXPECT_EQ(w.Text(kIdRecord), QString::fromUtf8("录像"));
}

TEST(ControlWindowBridge, CallsRunOnTheGuiThreadAndGiveUpOnStop) {
  Offline w;
  ControlUi* ui = w.obj.ui;
  ASSERT_NE(ui, nullptr);
  // Without the GUI thread serving it, a call waits, until the stop event.
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    ui->PlaybackStarted(100);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  w.obj.hStopEvent->Set();
  caller.join();
  EXPECT_TRUE(returned.load());
  Pump(20);
  // Given up before it ran: it never runs.
  EXPECT_FALSE(w.Enabled(kIdStop));
  w.obj.hStopEvent->Reset();

  // A disabled slider does not follow the playback; an enabled one does.
  OffGui([&] { ui->PlaybackPosition(30); });
  EXPECT_EQ(w.window->PositionSlider()->value(), 0);
  OffGui([&] {
    ui->SessionStarted(kFlagPlayback | kFlagPictureSettings, 2);
    ui->PlaybackStarted(100);
    ui->PlaybackPosition(40);
  });
  EXPECT_EQ(w.window->PositionSlider()->maximum(), 100);
  EXPECT_EQ(w.window->PositionSlider()->value(), 40);
  EXPECT_TRUE(w.Enabled(kIdStop));
  EXPECT_FALSE(w.Enabled(kIdSettings));
  EXPECT_EQ(w.Text(kIdPlayPause), QString::fromUtf8("暂停"));
  auto* channels = qobject_cast<QComboBox*>(w.window->Settings()->Item(kIdChannelList));
  ASSERT_NE(channels, nullptr);
  EXPECT_TRUE(channels->isEnabled());
  EXPECT_EQ(channels->count(), 3);
  EXPECT_EQ(channels->itemText(0), QString::fromUtf8("全部通道"));
  EXPECT_EQ(channels->itemText(2), QString::fromUtf8("CH 02"));
  EXPECT_TRUE(w.window->Settings()->Item(kIdDefaultParams)->isEnabled());
}

TEST(ControlWindowBridge, ServerTextIsTakenWhenPosted) {
  Offline w;
  // "服务器维护" in GBK.
  const char gbk[] = "\xB7\xFE\xCE\xF1\xC6\xF7\xCE\xAC\xBB\xA4";
  std::memcpy(w.obj.szServerText.data(), gbk, sizeof gbk);
  std::thread([&] { w.obj.ui->PostServerText(); }).join();
  // The thread may reuse the buffer before the box is shown.
  std::memset(w.obj.szServerText.data(), 'x', w.obj.szServerText.size());
  ASSERT_TRUE(WaitUntil([&] { return !w.boxes.empty(); }, 2000));
  EXPECT_EQ(w.boxes[0].first, QString::fromUtf8("Zarvion 信息"));
  EXPECT_EQ(w.boxes[0].second, QString::fromUtf8("服务器维护"));
  // An unterminated buffer is shown up to its end.
  std::thread([&] { w.obj.ui->PostServerText(); }).join();
  ASSERT_TRUE(WaitUntil([&] { return w.boxes.size() == 2; }, 2000));
  EXPECT_EQ(w.boxes[1].second, QString(1024, 'x'));
}

TEST(ControlWindowBridge, NoticesShareOneNonModalBox) {
  ControlObject obj;
  ControlWindowOptions options;
  options.startConnectionThread = false;
  auto window = std::make_unique<ControlWindow>(obj, nullptr, options);
  window->resize(644, 506);
  window->show();
  auto boxes = [] {
    std::vector<NoticeBox*> shown;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<NoticeBox*>(top); box && box->isVisible()) {
        shown.push_back(box);
      }
    }
    return shown;
  };
  // A burst from the connection thread, each notice in the buffer in turn.
  std::thread([&] {
    for (int i = 0; i < 10000; ++i) {
      const std::string text = "notice " + std::to_string(i);
      obj.szServerText.fill('\0');
      std::memcpy(obj.szServerText.data(), text.data(), text.size());
      obj.ui->PostServerText();
    }
  }).join();
  ASSERT_TRUE(WaitUntil([&] { return !boxes().empty(); }, 5000));
  Pump(50);
  ASSERT_EQ(boxes().size(), 1u);
  NoticeBox* box = boxes()[0];
  EXPECT_EQ(box->Text(), QString("notice 9999"));
  EXPECT_EQ(box->windowTitle(), QString::fromUtf8("Zarvion 信息"));
  EXPECT_EQ(box->parentWidget(), nullptr);
  // Nothing is blocked: no modal widget, and the toolbar still works.
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  window->Button(kIdSettings)->click();
  EXPECT_TRUE(window->Settings()->isVisible());

  // Closed, the next notice opens a box again.
  box->close();
  ASSERT_TRUE(WaitUntil([&] { return boxes().empty(); }, 2000));
  std::memcpy(obj.szServerText.data(), "again", 6);
  std::thread([&] { obj.ui->PostServerText(); }).join();
  ASSERT_TRUE(WaitUntil([&] { return boxes().size() == 1; }, 2000));
  EXPECT_EQ(boxes()[0]->Text(), QString("again"));
  // The box goes with the window.
  window.reset();
  Pump(20);
  EXPECT_TRUE(boxes().empty());
}

TEST(ControlWindowBridge, TheHostMayDestroyTheWindowWhileTheBoxIsOpen) {
  ControlObject obj;
  std::unique_ptr<ControlWindow> window;
  bool shown = false;
  ControlWindowOptions options;
  options.startConnectionThread = false;
  // The box's own event loop runs the host, which releases the control.
  options.showWarning = [&window, &shown](const QString&, const QString&) {
    QTimer::singleShot(0, [&window] { window.reset(); });
    WaitUntil([&window] { return !window; }, 2000);
    shown = true;
  };
  window = std::make_unique<ControlWindow>(obj, nullptr, options);
  std::thread([&] { obj.ui->PostServerText(); }).join();
  ASSERT_TRUE(WaitUntil([&] { return shown; }, 2000));
  EXPECT_EQ(window, nullptr);
  Pump(20);
}

}  // namespace
}  // namespace zarvion
