#include "viewer/alarm_sound.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

#include "platform/log.h"
#include "platform/registry.h"
#include "viewer/recent_recorders.h"

namespace zarvion::viewer {

bool LoadAlarmMuted() {
  uint32_t muted = 0;
  return RegGetDword(Hive::kCurrentUser, kViewerKey, kAlarmMutedValue, &muted) && muted != 0;
}

void SaveAlarmMuted(bool muted) {
  if (!RegSetDword(Hive::kCurrentUser, kViewerKey, kAlarmMutedValue, muted ? 1 : 0)) {
    Log(LogCategory::kViewer, LogSeverity::kWarning, "the alarm sound's mute switch was not kept");
  }
}

AlarmSound::AlarmSound(QObject* parent) : QObject(parent) {}

void AlarmSound::SetAlarmed(bool alarmed) {
  alarmed_ = alarmed;
  Update();
}

void AlarmSound::SetMuted(bool muted) {
  muted_ = muted;
  Update();
}

bool AlarmSound::Playing() const {
  return effect_ && effect_->isPlaying();
}

void AlarmSound::Update() {
  const bool play = alarmed_ && !muted_;
  if (!play) {
    if (effect_) effect_->stop();
    return;
  }
  if (!Ready() || effect_->isPlaying()) return;
  effect_->play();
}

bool AlarmSound::Ready() {
  if (failed_) return false;
  if (effect_) return true;
  if (QMediaDevices::audioOutputs().isEmpty()) {
    Fail(tr("没有音频输出设备"));
    return false;
  }
  effect_ = new QSoundEffect(this);
  connect(effect_, &QSoundEffect::statusChanged, this, [this] {
    if (effect_ && effect_->status() == QSoundEffect::Error) Fail(tr("音频输出出错"));
  });
  effect_->setSource(QUrl(QStringLiteral("qrc:/sounds/alarm.wav")));
  effect_->setLoopCount(QSoundEffect::Infinite);
  return true;
}

void AlarmSound::Fail(const QString& why) {
  if (failed_) return;
  failed_ = true;
  Log(LogCategory::kViewer, LogSeverity::kWarning, "the alarm sound cannot be played: %s",
      qUtf8Printable(why));
  if (effect_) {
    effect_->stop();
    effect_->deleteLater();
    effect_ = nullptr;
  }
  emit Unavailable(why);
}

}  // namespace zarvion::viewer
