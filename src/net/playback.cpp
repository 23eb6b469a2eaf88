#include "net/playback.h"

#include "net/transfer.h"

namespace zarvion {
namespace {

// Appends at most `count` bytes of the field from `offset`, stopping at a NUL.
void AppendPiece(std::string& out, const uint8_t* field, size_t offset, size_t count) {
  for (size_t i = 0; i < count && offset + i < kFileLocationSize; ++i) {
    const char c = static_cast<char>(field[offset + i]);
    if (c == '\0') break;
    out += c;
  }
}

}  // namespace

PlaybackRow RowFromRecord(const FileRecord& record) {
  const uint8_t* field = record.LocationField();
  PlaybackRow row;
  AppendPiece(row.channel, field, 2, 2);
  row.time.reserve(19);
  AppendPiece(row.time, field, 5, 4);
  row.time += '-';
  AppendPiece(row.time, field, 10, 2);
  row.time += '-';
  AppendPiece(row.time, field, 13, 2);
  row.time += ' ';
  AppendPiece(row.time, field, 16, 2);
  row.time += ':';
  AppendPiece(row.time, field, 19, 2);
  row.time += ':';
  AppendPiece(row.time, field, 22, 2);
  row.location = std::string(record.Location());
  return row;
}

bool HandleFileList(ControlObject& obj, const MessageHeader& header, MessageReader& reader) {
  FileRecord record;
  for (uint32_t i = 0; i < header.length; ++i) {
    if (!reader.Read(record.bytes.data(), kFileRecordSize)) return false;
    if (obj.ui) {
      const PlaybackRow row = RowFromRecord(record);
      obj.ui->PlaybackRow(row.channel, row.time, row.location);
    }
  }
  return true;
}

void HandlePlaybackInfo(ControlObject& obj, const MessageHeader& header) {
  const uint32_t length = PlaybackStepCount(header);
  obj.dwPlayLength = length;
  if (obj.ui) obj.ui->PlaybackStarted(length);
  obj.dwPlayPos = 0;
  obj.bPaused = 0;
  const ViewStep step = PlaybackStarted(ReadView(obj));
  ApplyView(obj, step);
  // The server may have switched to one channel since the request.
  if (IsChannelView(step.Left()) && obj.ui) obj.ui->ViewChanged(step.Left());
  SendMessage(obj, ComposeSelectChannels(step.mask));
}

void PlaybackStep(ControlObject& obj) {
  if (obj.bPaused.load() != 0 || obj.dwDrawMode.load() != kDrawPlayback) return;
  // Taken and advanced in one atomic step: a slider release, which stores
  // where the slider was let go, lands either before it (this step asks for
  // that position) or after it (the next one does), and is never lost.
  const uint32_t position = obj.dwPlayPos.fetch_add(1);
  SendMessage(obj, ComposePlaybackStep(position));
  // The window serves this call on its own thread and takes no lock for it;
  // a release since the add shows where it went.
  if (obj.ui) obj.ui->PlaybackPosition(obj.dwPlayPos.load());
}

}  // namespace zarvion
