#include "window/control_window.h"

#include <QAbstractButton>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QSlider>

#include "net/connection_thread.h"
#include "net/control_object.h"
#include "platform/surface.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "ui_control_window.h"
#include "window/connection_bridge.h"
#include "window/gui_calls.h"
#include "window/video_view.h"
#include "window/window_layout.h"
#include "window/window_texts.h"

namespace zarvion {

ControlWindow::ControlWindow(ControlObject& obj, QWidget* parent, ControlWindowOptions options)
    : QWidget(parent),
      obj_(obj),
      options_(std::move(options)),
      form_(std::make_unique<Ui::ControlWindowForm>()),
      calls_(std::make_unique<GuiCalls>(this)),
      view_(std::make_unique<VideoView>(*this)) {
  QFont::insertSubstitution(kFontFace, kFontFaceSubstitute);
  form_->setupUi(this);
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  connect(form_->record, &QAbstractButton::clicked, this, &ControlWindow::OnRecord);
  connect(form_->capture, &QAbstractButton::clicked, this, &ControlWindow::OnCapture);
  connect(form_->settings, &QAbstractButton::clicked, this, &ControlWindow::OnSettings);
  connect(form_->playbackRequest, &QAbstractButton::clicked, this,
          &ControlWindow::OnPlaybackRequest);
  connect(form_->playPause, &QAbstractButton::clicked, this, &ControlWindow::OnPlayPause);
  connect(form_->stop, &QAbstractButton::clicked, this, &ControlWindow::OnStop);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
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
  return decoders_.Decoder(slot);
}

void ControlWindow::Enable(int id, bool enable) {
  if (QWidget* control = Control(id)) control->setEnabled(enable);
}

void ControlWindow::SetText(int id, const char* utf8) {
  if (QAbstractButton* button = Button(id)) button->setText(WindowText(utf8));
}

void ControlWindow::SetFrameTrace(FrameTrace* trace) {
  view_->SetFrameTrace(trace);
  decoders_.SetFrameTrace(trace);
}

// ---- Qt events and pointer tracking -----------------------------------------

void ControlWindow::paintEvent(QPaintEvent* event) {
  if (renderer_ && setupComplete_ && obj_.bConnected.load() == 0) {
    // While connected the connection thread keeps the picture current.
    view_->RedrawAndCollect();
  }
  view_->Paint(event->region());
}

void ControlWindow::resizeEvent(QResizeEvent*) {
  view_->SetSize(width(), height());
  if (!setupComplete_) return;
  // Only the geometry follows the size: what the session and a playback
  // turned on stays on, or a resize would leave no way out of a playback.
  LayOutToolbar();
  obj_.bLayoutDirty = 1;
  if (obj_.bConnected.load() == 0) renderer_->Redraw();
}

void ControlWindow::mouseDoubleClickEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  view_->SetPointer(at.x(), at.y());
  if (event->button() == Qt::LeftButton) OnDoubleClick();
}

void ControlWindow::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  view_->SetPointer(at.x(), at.y());
}

void ControlWindow::leaveEvent(QEvent*) {
  view_->SetPointerAway();
}

void ControlWindow::SetHiddenReleaseDelay(std::chrono::milliseconds delay) {
  view_->SetReleaseDelay(delay);
}

void ControlWindow::showEvent(QShowEvent*) {
  // The window it sits in tells when it is minimised.
  if (window() != this) window()->installEventFilter(this);
  view_->UpdateDrawable();
}

void ControlWindow::hideEvent(QHideEvent*) {
  view_->UpdateDrawable();
  view_->SetPointerAway();
}

void ControlWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange) view_->UpdateDrawable();
  QWidget::changeEvent(event);
}

bool ControlWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == window() && watched != this &&
      (type == QEvent::WindowStateChange || type == QEvent::Show || type == QEvent::Hide)) {
    view_->UpdateDrawable();
  }
  // Over the toolbar the pointer is over no pane; the window itself hears
  // nothing of moves over its child controls.
  if (watched != this && watched != window() &&
      (type == QEvent::Enter || type == QEvent::MouseMove || type == QEvent::HoverMove)) {
    view_->SetPointerAway();
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

}  // namespace zarvion
