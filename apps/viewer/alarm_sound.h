// The alarm's sound: a short WAV (a resource of the program) played in a
// loop while alarms wait to be acknowledged, unless muted. Nothing is asked
// of the audio system until the first alarm; a machine without an audio
// output, or an output that fails, is told once (Unavailable) and the sound
// is then left alone: never a wait, never a retry.
#pragma once

#include <QObject>
#include <QString>

class QSoundEffect;

namespace zarvion::viewer {

// Value "bAlarmMuted" under the viewer's key: 1 while the operator muted
// the alarm sound.
inline constexpr const char* kAlarmMutedValue = "bAlarmMuted";
bool LoadAlarmMuted();
void SaveAlarmMuted(bool muted);

class AlarmSound : public QObject {
  Q_OBJECT

 public:
  explicit AlarmSound(QObject* parent = nullptr);

  // Alarms are waiting (or no longer): the sound plays (or stops).
  void SetAlarmed(bool alarmed);
  void SetMuted(bool muted);
  bool Muted() const { return muted_; }
  // The sound is playing now.
  bool Playing() const;
  // The sound could not be played and is not tried again.
  bool Failed() const { return failed_; }

 signals:
  // Once: why the alarm cannot be heard.
  void Unavailable(const QString& why);

 private:
  void Update();
  // Makes the effect on first need; false when there is no sound to play.
  bool Ready();
  void Fail(const QString& why);

  QSoundEffect* effect_ = nullptr;
  bool alarmed_ = false;
  bool muted_ = false;
  bool failed_ = false;
};

}  // namespace zarvion::viewer
